# What `cmake --install` puts where, and the packages CPack makes from it:
#
#   cmake -S . -B build -DBUILD_TESTING=OFF && cmake --build build -j2
#   (cd build && cpack -G DEB)      # zeftil_<version>_amd64.deb
#
#   cmake -S . -B build-win -DBUILD_TESTING=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#   cmake --build build-win -j2
#   (cd build-win && cpack -G ZIP)  # zeftil-<version>-win64.zip
#
#   cmake --build build --target dist  # zeftil-<version>.tar.gz, from git
#
# The version is project()'s everywhere: the usage text, the man page's
# footer, the Debian changelog and the package names.
include(GNUInstallDirs)

set(ZEFTIL_MAINTAINER "the zeftil developers <zeftil@example.org>")

# LICENSE's copyright line (the Debian copyright file and zeftil.exe's version
# resource carry it) and its permission text.
file(READ LICENSE licence)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n+(Permission is hereby granted.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: no copyright line followed by the permission text")
endif()
set(ZEFTIL_COPYRIGHT "${CMAKE_MATCH_1}")
set(ZEFTIL_PERMISSION "${CMAKE_MATCH_2}")

if(WIN32)
  # The zip: zeftil.exe, README.txt (a short guide of its own, for Windows),
  # LICENSE.txt and demo.gaf side by side at its top, the texts with CR LF
  # line ends so that Notepad shows them right. The demo archive is taken
  # from the sources when the zip is made. No man page: Windows has no reader
  # for it.
  install(TARGETS zeftil RUNTIME DESTINATION .)
  configure_file(packaging/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt examples/demo.gaf DESTINATION .)
else()
  install(TARGETS zeftil RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # A stripped program (cmake --install --strip, and the .deb) loses the
  # compilers' version notes in .comment as well, which strip keeps.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:zeftil>\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()")

  # Man page and Debian changelog: the version filled in when configuring,
  # compressed when building (-n: no name or time stamp in the .gz, so the
  # same sources give the same bytes).
  find_program(ZEFTIL_GZIP gzip REQUIRED)
  configure_file(doc/zeftil.1.in doc/zeftil.1 @ONLY)
  configure_file(packaging/changelog.in packaging/changelog @ONLY)
  foreach(page doc/zeftil.1 packaging/changelog)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${ZEFTIL_GZIP} -9nkf ${PROJECT_BINARY_DIR}/${page}
      DEPENDS ${PROJECT_BINARY_DIR}/${page}
      COMMENT "Compressing ${page}"
      VERBATIM)
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS doc/zeftil.1.gz packaging/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/doc/zeftil.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The copyright file in Debian's machine-readable format, made from LICENSE:
  # its permission text indented one space, empty lines as " .".
  string(REPLACE "\n" "\n " ZEFTIL_LICENCE_TEXT " ${ZEFTIL_PERMISSION}")
  string(REPLACE "\n \n" "\n .\n" ZEFTIL_LICENCE_TEXT "${ZEFTIL_LICENCE_TEXT}")
  configure_file(packaging/copyright.in packaging/copyright @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Where lintian's count of fortified calls misjudges the program.
  install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME zeftil)
endif()

set(CPACK_PACKAGE_NAME zeftil)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the zeftil developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert GAF sprite archives into TGA or BMP images")
set(CPACK_PACKAGE_DESCRIPTION [=[
zeftil reads a GAF sprite archive, the format in which Total Annihilation
keeps its textures and animations, and writes the first frame of every entry
as a 24-bit true-colour image named after the entry: uncompressed TGA, or
Windows BMP with -b. The game's 256-colour palette is built in. Frames
stored raw, run-length encoded or as composites (drawn from their
sub-frames, each placed by its offsets) are all converted.

Every file is written to a temporary file and renamed into place only once
complete, so a failed or interrupted run never leaves a partial image.]=])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# The install rules give the files their modes (0644, the program 0755), but
# the folders that installing creates get those of the umask: CMake's
# default folder permissions pass through it too. So every folder cpack
# installed into its staging tree is set to 0755 before the package is made.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package_modes.cmake)
# The files lie at the top of the zip: Windows' "Extract All" makes the
# folder itself.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZEFTIL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

if(WIN32)
  # Named zeftil-<version>-win64.zip (CPack's system name for 64-bit Windows).
  set(CPACK_GENERATOR ZIP)
  # The version resource and the application manifest, compiled by windres.
  enable_language(RC)
  set(ZEFTIL_DESCRIPTION "zeftil, GAF sprite archives into TGA or BMP images")
  set(version_parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} ${PROJECT_VERSION_TWEAK})
  list(APPEND version_parts 0 0 0)
  list(SUBLIST version_parts 0 4 version_parts)
  list(JOIN version_parts "," ZEFTIL_VERSION_COMMAS)
  list(JOIN version_parts "." ZEFTIL_VERSION_DOTS)
  set(ZEFTIL_MANIFEST ${PROJECT_BINARY_DIR}/packaging/zeftil.exe.manifest)
  configure_file(packaging/zeftil.exe.manifest.in ${ZEFTIL_MANIFEST} @ONLY)
  configure_file(packaging/zeftil.rc.in packaging/zeftil.rc @ONLY)
  target_sources(zeftil PRIVATE ${PROJECT_BINARY_DIR}/packaging/zeftil.rc)
  set_source_files_properties(${PROJECT_BINARY_DIR}/packaging/zeftil.rc PROPERTIES OBJECT_DEPENDS ${ZEFTIL_MANIFEST})
else()
  set(CPACK_GENERATOR DEB)
endif()
# CPack gives the members of the .deb and the zip SOURCE_DATE_EPOCH as their
# time, but writes the .deb's three ar members with the modes the umask gave
# them, puts the zip's members in the order the staging folder lists them, and
# the packager's user and group ids in each zip member's Unix extra field:
# Debian's strip-nondeterminism, run on each package once it is made, sets
# the ar members to 0644, sorts the zip's members by name and zeroes the ids.
find_program(CPACK_ZEFTIL_STRIP_NONDETERMINISM strip-nondeterminism)
# Each package build then writes the SHA-256 of its packages to SHA256SUMS
# beside them (sha256sum -c SHA256SUMS checks them).
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package_sums.cmake)
include(CPack)

# The source tarball (cmake/dist.cmake says how it is made).
find_package(Git QUIET)
find_program(ZEFTIL_GZIP gzip)
add_custom_target(dist
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DBINARY_DIR=${PROJECT_BINARY_DIR}
          -DVERSION=${PROJECT_VERSION} -DGIT=${GIT_EXECUTABLE} -DGZIP=${ZEFTIL_GZIP}
          -P ${PROJECT_SOURCE_DIR}/cmake/dist.cmake
  COMMENT "Making the source tarball zeftil-${PROJECT_VERSION}.tar.gz"
  VERBATIM)
