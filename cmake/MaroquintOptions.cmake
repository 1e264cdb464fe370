# Under CI (the environment variable CI=true, as .ci/run sets it) every build
# makes warnings errors, links the bundled LSL library and the simulated
# driver, whatever else the machine has installed, and needs every optional
# dependency, so that no part of the project and none of its tests drop out
# unnoticed. A cache entry given on the command line still wins.
if("$ENV{CI}" STREQUAL "true")
  set(maroquint_ci ON)
  set(maroquint_default_daq sim)
  set(maroquint_default_lsl bundled)
else()
  set(maroquint_ci OFF)
  set(maroquint_default_daq auto)
  set(maroquint_default_lsl auto)
endif()
set(MAROQUINT_DAQ ${maroquint_default_daq} CACHE STRING "NI-DAQmx driver to link: auto, nidaqmx (the real driver) or sim (the simulated driver)")
set_property(CACHE MAROQUINT_DAQ PROPERTY STRINGS auto nidaqmx sim)
set(MAROQUINT_LSL ${maroquint_default_lsl} CACHE STRING "LSL library to link: auto, system (liblsl) or bundled")
set_property(CACHE MAROQUINT_LSL PROPERTY STRINGS auto system bundled)
option(MAROQUINT_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(MAROQUINT_WERROR "Make compiler warnings errors (the project's own code; third-party headers are included as system headers)" ${maroquint_ci})
option(MAROQUINT_REQUIRE_ALL "Fail at configure time where an optional dependency (PLplot, EDFlib, libxdf, Google Benchmark) is missing, instead of leaving out what needs it" ${maroquint_ci})
option(MAROQUINT_BENCHMARKS "Build the benchmarks (those on Google Benchmark only where it is installed)" ON)
option(MAROQUINT_TSAN "Build with ThreadSanitizer" OFF)
option(MAROQUINT_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)

if(NOT MAROQUINT_DAQ MATCHES "^(auto|nidaqmx|sim)$")
  message(FATAL_ERROR "MAROQUINT_DAQ must be auto, nidaqmx or sim, not '${MAROQUINT_DAQ}'")
endif()
if(NOT MAROQUINT_LSL MATCHES "^(auto|system|bundled)$")
  message(FATAL_ERROR "MAROQUINT_LSL must be auto, system or bundled, not '${MAROQUINT_LSL}'")
endif()

if(MAROQUINT_SANITIZE)
  # -O1: the checks are the same, the build and the program are quicker
  # than at -O2; line tables (-g1) are all the reports need.
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
    -O1 -g1)
  add_link_options(-fsanitize=address,undefined)
endif()

if(MAROQUINT_TSAN)
  if(MAROQUINT_SANITIZE)
    message(FATAL_ERROR "MAROQUINT_TSAN and MAROQUINT_SANITIZE cannot be combined: ThreadSanitizer excludes AddressSanitizer")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -O1 -g1)
  add_link_options(-fsanitize=thread)
  # ThreadSanitizer does not model standalone fences, and asio brackets each
  # handler call with a pair of them. Every handoff they would order already
  # goes through the scheduler's mutex, which ThreadSanitizer does see.
  add_compile_definitions(ASIO_DISABLE_FENCED_BLOCK)
endif()

# Coverage instrumentation and the sanitizers go into everything, so that the
# parsers under test are instrumented wherever they live; only the fuzz
# targets link libFuzzer itself.
if(MAROQUINT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "MAROQUINT_FUZZ needs clang (e.g. -DCMAKE_CXX_COMPILER=clang++-14), not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  if(MAROQUINT_SANITIZE OR MAROQUINT_TSAN)
    message(FATAL_ERROR "MAROQUINT_FUZZ brings its own sanitizers; leave MAROQUINT_SANITIZE and MAROQUINT_TSAN off")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Options given here reach only the targets of this project; the headers of
# Asio, pugixml, GoogleTest and Google Benchmark come in as system headers,
# whose warnings the compiler does not report.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra -Wshadow)
  if(MAROQUINT_WERROR)
    add_compile_options(-Werror)
    # GCC 12's -Wmaybe-uninitialized misfires inside libstdc++'s std::regex
    # and std::function once the sanitizers instrument them; there it stays
    # a warning, and the plain build keeps it an error.
    if(MAROQUINT_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      add_compile_options(-Wno-error=maybe-uninitialized)
    endif()
  endif()
elseif(MSVC AND MAROQUINT_WERROR)
  add_compile_options(/WX)
endif()
