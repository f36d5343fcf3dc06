cmake_minimum_required(VERSION 3.25)
# What zeftil.exe carries besides its code, read from the file: the PE
# header's protections, the version resource Explorer shows in Properties,
# and the application manifest.
#   cmake -DOBJDUMP=... -DPROGRAM=zeftil.exe -DVERSION=0.90 -P windows_exe.cmake
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed: ${rc}")
endif()
set(failures "")

# Loaded at a random address (with relocations to do it by), a high-entropy
# one, and with data never executed: IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE
# 0x40, HIGH_ENTROPY_VA 0x20, NX_COMPAT 0x100.
if(NOT dump MATCHES "\nDllCharacteristics[ \t]+([0-9a-fA-F]+)\n")
  message(FATAL_ERROR "no DllCharacteristics in ${OBJDUMP} -p ${PROGRAM}")
endif()
set(characteristics "${CMAKE_MATCH_1}")
math(EXPR protections "0x${characteristics} & 0x160")
if(NOT protections EQUAL 0x160)
  list(APPEND failures "DllCharacteristics 0x${characteristics} lacks some of ASLR, high-entropy ASLR and DEP (0x160)")
endif()
if(NOT dump MATCHES "\nEntry 5 [0-9a-fA-F]+ ([0-9a-fA-F]+) Base Relocation Directory" OR CMAKE_MATCH_1 MATCHES "^0+$")
  list(APPEND failures "no base relocations: the program cannot be moved")
endif()

# Resources of type 16 (a version) and 24 (a manifest), each of ID 1.
foreach(type 10 18)
  if(NOT dump MATCHES "Entry: ID: 0x0000${type}, Value: [^\n]+\n[^\n]+Name Table[^\n]+\n[^\n]+Entry: ID: 0x000001,")
    list(APPEND failures "no resource of type 0x${type} and ID 1 in the .rsrc section")
  endif()
endforeach()

# The version's numbers (VS_FIXEDFILEINFO: its signature 0xFEEF04BD, the
# structure's version, then the file version as major.minor and patch.tweak,
# 16 bits each, little-endian), and its texts (UTF-16 keys and values).
string(REPLACE "." ";" numbers "${VERSION}.0.0.0")
list(SUBLIST numbers 0 4 numbers)
set(expected "")
foreach(index 1 0 3 2)
  list(GET numbers ${index} n)
  math(EXPR word "0x10000 + ((${n} & 255) << 8) + (${n} >> 8)" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${word}" 3 4 word)
  string(APPEND expected "${word}")
endforeach()
string(TOLOWER "${expected}" expected)
file(READ ${PROGRAM} hex HEX)
string(FIND "${hex}" "bd04effe" at)
math(EXPR odd "${at} % 2")
if(at LESS 0 OR odd)
  list(APPEND failures "no fixed version information")
else()
  math(EXPR at "${at} + 16")
  string(SUBSTRING "${hex}" ${at} 16 found)
  if(NOT found STREQUAL expected)
    list(APPEND failures "file version bytes ${found}, want ${expected} (${VERSION})")
  endif()
endif()
file(STRINGS ${PROGRAM} texts ENCODING UTF-16LE)
foreach(pair "ProductName;zeftil" "FileVersion;${VERSION}" "ProductVersion;${VERSION}" "OriginalFilename;zeftil.exe"
             "LegalCopyright;Copyright (c) " "FileDescription;zeftil, ")
  string(FIND ";${texts}" ";${pair}" at)
  if(at LESS 0)
    list(APPEND failures "no version text \"${pair}\"")
  endif()
endforeach()

# The manifest's settings (UTF-8 text).
file(STRINGS ${PROGRAM} manifest REGEX "<requestedExecutionLevel |<supportedOS |longPathAware>")
foreach(setting "level=\"asInvoker\"" "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" "<ws2:longPathAware>true</ws2:longPathAware>")
  string(FIND "${manifest}" "${setting}" at)
  if(at LESS 0)
    list(APPEND failures "no ${setting} in the manifest")
  endif()
endforeach()

if(failures)
  list(JOIN failures "\n  " failures)
  message(FATAL_ERROR "${PROGRAM}:\n  ${failures}")
endif()
message(STATUS "DllCharacteristics 0x${characteristics}; version ${VERSION} and manifest present")
