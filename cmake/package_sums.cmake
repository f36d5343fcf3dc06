# Run by cpack once it has made the packages (CPACK_PACKAGE_FILES), before it
# copies them into the build folder: makes the .deb's ar member modes and the
# zip's member order and ids reproducible, then notes each package's SHA-256 in
# SHA256SUMS beside them, in the format of sha256sum. Lines for packages of
# other names already there are kept. The source tarball's target includes it
# too, with the tarball as the one package.
set(sums_file ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS)
set(sums "")
if(EXISTS ${sums_file})
  file(STRINGS ${sums_file} sums)
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${package} NAME)
  # (strip-nondeterminism leaves ar archives alone unless asked.)
  set(type "")
  if(name MATCHES "\\.zip$")
    set(type zip)
  elseif(name MATCHES "\\.deb$")
    set(type ar)
  endif()
  if(type)
    if(NOT CPACK_ZEFTIL_STRIP_NONDETERMINISM)
      message(FATAL_ERROR "strip-nondeterminism is needed to make ${name} reproducible (apt-get install strip-nondeterminism)")
    endif()
    execute_process(COMMAND ${CPACK_ZEFTIL_STRIP_NONDETERMINISM} --type ${type} --normalizers=+${type} --timestamp $ENV{SOURCE_DATE_EPOCH} ${package}
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "strip-nondeterminism ${package} failed: ${rc}")
    endif()
  endif()
  file(SHA256 ${package} sum)
  list(FILTER sums EXCLUDE REGEX "^[0-9a-f]+  ${name}$")
  list(APPEND sums "${sum}  ${name}")
endforeach()
list(SORT sums)
list(JOIN sums "\n" text)
file(WRITE ${sums_file} "${text}\n")
