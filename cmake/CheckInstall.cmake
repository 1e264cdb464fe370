# cmake -DBUILD=<build dir> -DPREFIX=<empty or absent dir> -P CheckInstall.cmake
#
# Installs the build into PREFIX and runs both programs from PREFIX/bin with
# no library path set: the monitor's help, and the program on the simulated
# device in virtual time until an injected failure.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
  OUTPUT_QUIET RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cmake --install ${BUILD} --prefix ${PREFIX} failed")
endif()
foreach(file bin/maroquint bin/maroquint-monitor share/doc/Maroquint/README.md
             share/doc/Maroquint/docs/program.md)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "${PREFIX}/${file} was not installed")
  endif()
endforeach()

set(bare_env ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH)
execute_process(COMMAND ${bare_env} ${PREFIX}/bin/maroquint-monitor --help
  INPUT_FILE /dev/null OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status
  TIMEOUT 120)
if(NOT status EQUAL 0 OR NOT out MATCHES "Usage: maroquint-monitor")
  message(FATAL_ERROR "installed maroquint-monitor --help: status ${status}\n${out}${err}")
endif()

set(expected "Now sending markers...\nDAQmx Error: Stop.\nEnd of program, press Enter key to quit\n")
execute_process(
  COMMAND ${bare_env} "SIMDAQ=clock=virtual;fault=DAQmxWriteAnalogF64@30000:-200279:Stop."
          ${PREFIX}/bin/maroquint
  INPUT_FILE /dev/null OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status
  TIMEOUT 120)
if(NOT status EQUAL 1 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "installed maroquint: status ${status}, output\n${out}${err}")
endif()
file(REMOVE_RECURSE ${PREFIX})
