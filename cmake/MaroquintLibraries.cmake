# Chooses the two libraries the program talks through. Both choices are
# printed, so that a build against the simulated driver cannot be mistaken
# for one that drives hardware.

# LSL: the real liblsl where its CMake package is installed, else the bundled one.
if(NOT MAROQUINT_LSL STREQUAL "bundled")
  find_package(LSL CONFIG QUIET)
endif()
if(LSL_FOUND AND NOT MAROQUINT_LSL STREQUAL "bundled")
  set(MAROQUINT_LSL_USED system)
  message(STATUS "Maroquint LSL library: system liblsl (${LSL_DIR})")
elseif(MAROQUINT_LSL STREQUAL "system")
  message(FATAL_ERROR "MAROQUINT_LSL=system, but liblsl's CMake package (LSL::lsl) was not found; set LSL_DIR or CMAKE_PREFIX_PATH")
else()
  set(MAROQUINT_LSL_USED bundled)
  add_subdirectory(lsl)
  message(STATUS "Maroquint LSL library: bundled (lsl/)")
endif()

# NI-DAQmx: the real driver where it is installed, else the simulated one.
if(NOT MAROQUINT_DAQ STREQUAL "sim")
  find_library(NIDAQMX_LIBRARY NAMES nidaqmx nicaiu
    PATHS /usr/lib/x86_64-linux-gnu /usr/local/natinst/nidaqmx/lib
          "$ENV{ProgramFiles\(x86\)}/National Instruments/Shared/ExternalCompilerSupport/C/lib32/msvc"
          "$ENV{ProgramFiles}/National Instruments/Shared/ExternalCompilerSupport/C/lib64/msvc")
endif()
if(NIDAQMX_LIBRARY AND NOT MAROQUINT_DAQ STREQUAL "sim")
  set(MAROQUINT_DAQ_USED nidaqmx)
  add_library(maroquint_daqmx INTERFACE)
  target_link_libraries(maroquint_daqmx INTERFACE ${NIDAQMX_LIBRARY})
  message(STATUS "Maroquint NI-DAQmx driver: real NI-DAQmx (${NIDAQMX_LIBRARY})")
elseif(MAROQUINT_DAQ STREQUAL "nidaqmx")
  message(FATAL_ERROR "MAROQUINT_DAQ=nidaqmx, but the NI-DAQmx library (nidaqmx or nicaiu) was not found; set NIDAQMX_LIBRARY")
else()
  set(MAROQUINT_DAQ_USED sim)
  add_subdirectory(simdaq)
  add_library(maroquint_daqmx INTERFACE)
  target_link_libraries(maroquint_daqmx INTERFACE simdaq)
  message(STATUS "Maroquint NI-DAQmx driver: SIMULATED (simdaq/) -- this build drives no hardware, only the virtual device Dev1")
endif()
add_library(Maroquint::daqmx ALIAS maroquint_daqmx)
