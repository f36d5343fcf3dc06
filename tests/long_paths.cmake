cmake_minimum_required(VERSION 3.25)
# Paths past Windows' 260 characters: the demo archive converted from an
# archive path of over 300 characters, absolute and relative, in a current
# folder of 250 whose output files (and the temporary files before them) pass
# 260, gives what it gives in a short folder. Wine does not enforce the
# limit, so there this guards the long forms against breaking; the unit test
# (LongPaths) is what checks the conversion.
#   cmake -DEMULATOR=... -DPROGRAM=zeftil -DDEMO=demo.gaf -DSCRATCH=dir -P long_paths.cmake
function(convert dir archive)
  foreach(option "" -b)
    execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${option} ${archive} WORKING_DIRECTORY ${dir}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
      message(FATAL_ERROR "zeftil ${option} ${archive} in ${dir}: exit status ${rc}, output \"${out}\"")
    endif()
  endforeach()
endfunction()

file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/short)
convert(${SCRATCH}/short ${DEMO})
file(GLOB expected RELATIVE ${SCRATCH}/short ${SCRATCH}/short/*)

string(REPEAT a 120 a)
string(REPEAT b 120 b)
string(REPEAT c 100 c)
set(deep ${SCRATCH}/${a}/${b}/${c})
file(MAKE_DIRECTORY ${deep})
file(COPY_FILE ${DEMO} ${deep}/in.gaf)
string(LENGTH "${SCRATCH}/" length)
math(EXPR length "250 - ${length}")
string(REPEAT d ${length} d)
set(here ${SCRATCH}/${d})
foreach(archive ${deep}/in.gaf ../${a}/${b}/${c}/in.gaf)
  file(REMOVE_RECURSE ${here})
  file(MAKE_DIRECTORY ${here})
  convert(${here} ${archive})
  file(GLOB written RELATIVE ${here} ${here}/*)
  if(NOT written STREQUAL expected)
    message(FATAL_ERROR "from ${archive}: wrote ${written}, want ${expected}")
  endif()
  foreach(name IN LISTS expected)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SCRATCH}/short/${name} ${here}/${name} RESULT_VARIABLE differ)
    if(differ)
      message(FATAL_ERROR "from ${archive}: ${name} differs from the one written in a short folder")
    endif()
  endforeach()
endforeach()
file(REMOVE_RECURSE ${SCRATCH})
