# The source tarball, zeftil-<version>.tar.gz: the commit checked out, as
# git archive gives it, every file under zeftil-<version>/ with the commit's
# time and mode 0644 or 0755, compressed by gzip without a name or time stamp,
# so that the same commit always gives the same bytes. git archive writes the
# commit's time into cmake/commit_time.txt, which a build of the unpacked
# tarball, having no git history, takes as its time stamp: it then gives the
# same packages as a build of the commit from git. Made by the dist target:
#
#   cmake --build build --target dist
#
# with SOURCE_DIR, BINARY_DIR, VERSION, GIT and GZIP set by it. Its SHA-256
# goes into SHA256SUMS beside it, with the packages'.
foreach(var SOURCE_DIR BINARY_DIR VERSION GIT GZIP)
  if(NOT ${var})
    message(FATAL_ERROR "dist.cmake: ${var} is not set")
  endif()
endforeach()
execute_process(COMMAND ${GIT} rev-parse --show-toplevel
                WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc ERROR_QUIET)
if(rc EQUAL 0 AND IS_DIRECTORY "${top}")
  file(REAL_PATH "${top}" top)
endif()
file(REAL_PATH "${SOURCE_DIR}" here)
if(NOT rc EQUAL 0 OR NOT top STREQUAL here)
  message(FATAL_ERROR "The source tarball is made from a git checkout; ${SOURCE_DIR} is none")
endif()
execute_process(COMMAND ${GIT} status --porcelain --untracked-files=no
                WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE changes COMMAND_ERROR_IS_FATAL ANY)
if(changes)
  message(WARNING "The work tree has changes not committed: the tarball holds the last commit without them")
endif()

set(name zeftil-${VERSION})
set(tar ${BINARY_DIR}/${name}.tar)
execute_process(COMMAND ${GIT} -c tar.umask=022 archive --format=tar --prefix=${name}/ -o ${tar} HEAD
                WORKING_DIRECTORY ${SOURCE_DIR} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${GZIP} -9nf ${tar} COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Source tarball: ${tar}.gz")

set(CPACK_PACKAGE_FILES ${tar}.gz)
set(CPACK_PACKAGE_DIRECTORY ${BINARY_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/package_sums.cmake)
