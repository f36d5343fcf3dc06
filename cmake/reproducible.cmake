# Builds of the same sources give the same bytes, whatever folder they are
# made in and whenever: the packages, zeftil and zeftil.exe alike.
#
# The one time stamped into anything is ZEFTIL_SOURCE_DATE_EPOCH (seconds
# since 1970, UTC), taken from
#   1. the SOURCE_DATE_EPOCH environment variable when configuring, if set;
#   2. otherwise the last commit's time, when the sources are a git checkout;
#   3. otherwise the commit's time written into cmake/commit_time.txt, when
#      the sources were unpacked from the source tarball (cmake/dist.cmake);
#   4. otherwise ZEFTIL_RELEASE_TIME, kept beside the version in project().
# Every step that stamps a time gets it as SOURCE_DATE_EPOCH: the compiler
# (__DATE__ and __TIME__, which the program does not use), the linker (the PE
# header's time stamp in zeftil.exe) and cpack (the times of the members of
# the .deb and the zip).

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ZEFTIL_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  set(epoch_from "SOURCE_DATE_EPOCH")
else()
  set(ZEFTIL_SOURCE_DATE_EPOCH "${ZEFTIL_RELEASE_TIME}")
  set(epoch_from "the release time in CMakeLists.txt")
  find_package(Git QUIET)
  if(GIT_FOUND)
    # Only when the sources are the top of a work tree: not when they were
    # unpacked somewhere inside another repository.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc ERROR_QUIET)
    set(here "")
    if(rc EQUAL 0 AND IS_DIRECTORY "${top}")
      file(REAL_PATH "${top}" top)
      file(REAL_PATH "${PROJECT_SOURCE_DIR}" here)
    endif()
    if(here AND top STREQUAL here)
      execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                      OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc ERROR_QUIET)
      if(rc EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
        set(ZEFTIL_SOURCE_DATE_EPOCH "${commit_time}")
        set(epoch_from "the last commit")
        # A new commit or checkout configures again, and so takes its time.
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path logs/HEAD
                        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                        OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(head_log AND EXISTS "${head_log}")
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${head_log}")
        endif()
      endif()
    endif()
  endif()
  # In git the file holds a placeholder that git archive replaces.
  if(NOT epoch_from STREQUAL "the last commit" AND EXISTS ${PROJECT_SOURCE_DIR}/cmake/commit_time.txt)
    file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/commit_time.txt tarball_time LIMIT_COUNT 1)
    if(tarball_time MATCHES "^[0-9]+$")
      set(ZEFTIL_SOURCE_DATE_EPOCH "${tarball_time}")
      set(epoch_from "the commit the source tarball was made from")
    endif()
  endif()
endif()
if(NOT ZEFTIL_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds, not \"${ZEFTIL_SOURCE_DATE_EPOCH}\"")
endif()
# string(TIMESTAMP) reads the time from SOURCE_DATE_EPOCH too.
set(ENV{SOURCE_DATE_EPOCH} ${ZEFTIL_SOURCE_DATE_EPOCH})
string(TIMESTAMP epoch_text "%Y-%m-%d %H:%M:%S UTC" UTC)
if(NOT epoch_from STREQUAL "SOURCE_DATE_EPOCH")
  unset(ENV{SOURCE_DATE_EPOCH})
endif()
message(STATUS "Time stamped into the build: ${epoch_text} (${ZEFTIL_SOURCE_DATE_EPOCH}, from ${epoch_from})")

# The compiler and the linker run with it in their environment (ahead of any
# launcher already chosen, such as ccache).
foreach(step COMPILER LINKER)
  set(CMAKE_CXX_${step}_LAUNCHER
      ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ZEFTIL_SOURCE_DATE_EPOCH} ${CMAKE_CXX_${step}_LAUNCHER})
endforeach()

# No build folder in the objects: source files are named from the top of the
# sources, build files from the top of the build folder (given last, so that
# it wins where the build folder lies inside the sources).
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)

# cpack reads this file before it makes a package: the members' times come
# from SOURCE_DATE_EPOCH (their order is the file names' in the .deb).
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/cpack_environment.cmake
     CONTENT "set(ENV{SOURCE_DATE_EPOCH} @ZEFTIL_SOURCE_DATE_EPOCH@)\n" @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack_environment.cmake)
