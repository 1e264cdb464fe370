# cmake -DOBJDUMP=<objdump> -DDLL=<dll> -DDEF=<NIDAQmx.def> -P CheckNidaqmxExports.cmake
#
# Fails unless the DLL exports exactly the functions of the .def, each
# under its undecorated name, as nicaiu.dll does.
file(STRINGS ${DEF} lines REGEX "^  DAQmx")
set(expected)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^  (DAQmx[A-Za-z0-9]+).*" "\\1" name "${line}")
  list(APPEND expected ${name})
endforeach()
list(SORT expected)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(exported)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
  list(APPEND exported ${name})
endforeach()
list(SORT exported)

if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "${DLL} exports\n  ${exported}\nbut must export, undecorated,\n  ${expected}")
endif()
