set(MAROQUINT_DAQ auto CACHE STRING "NI-DAQmx driver to link: auto, nidaqmx (the real driver) or sim (the simulated driver)")
set_property(CACHE MAROQUINT_DAQ PROPERTY STRINGS auto nidaqmx sim)
set(MAROQUINT_LSL auto CACHE STRING "LSL library to link: auto, system (liblsl) or bundled")
set_property(CACHE MAROQUINT_LSL PROPERTY STRINGS auto system bundled)
option(MAROQUINT_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(MAROQUINT_WERROR "Make compiler warnings errors (the project's own code; third-party headers are included as system headers)" OFF)
option(MAROQUINT_BENCHMARKS "Build the benchmarks (those on Google Benchmark only where it is installed)" ON)

if(NOT MAROQUINT_DAQ MATCHES "^(auto|nidaqmx|sim)$")
  message(FATAL_ERROR "MAROQUINT_DAQ must be auto, nidaqmx or sim, not '${MAROQUINT_DAQ}'")
endif()
if(NOT MAROQUINT_LSL MATCHES "^(auto|system|bundled)$")
  message(FATAL_ERROR "MAROQUINT_LSL must be auto, system or bundled, not '${MAROQUINT_LSL}'")
endif()

if(MAROQUINT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Options given here reach only the targets of this project; the headers of
# Asio, pugixml, GoogleTest and Google Benchmark come in as system headers,
# whose warnings the compiler does not report.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra -Wshadow)
  if(MAROQUINT_WERROR)
    add_compile_options(-Werror)
  endif()
elseif(MSVC AND MAROQUINT_WERROR)
  add_compile_options(/WX)
endif()
