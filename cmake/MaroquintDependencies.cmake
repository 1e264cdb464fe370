# Every third-party library, found once, here, as an imported target. The
# folders link these targets and look nothing up themselves. The include
# folders of imported targets are system include folders, so the compiler
# reports no warning from third-party headers (and -Werror stays ours).
#
#   Threads::Threads, pugixml::pugixml, Asio::asio, CLI11::CLI11,
#   nlohmann_json::nlohmann_json                      always
#   GTest::gtest, GTest::gtest_main, GTest::gmock     with BUILD_TESTING
#   benchmark::benchmark                              optional, benchmarks
#   PLplot::plplot, EDFlib::edflib, XDF::xdf, PNG::PNG optional, Linux only
#
# An optional library that is missing leaves out what needs it, with a
# notice; with MAROQUINT_REQUIRE_ALL (the default under CI) it is an error,
# so that no test drops out of a CI build unseen. The Windows cross builds
# have none of the Linux-only ones.

find_package(Threads REQUIRED)
find_package(pugixml CONFIG REQUIRED)

# Header-only libraries. Their CMake packages are not visible to the Windows
# cross builds (tools/windows-deps links their headers into the target
# prefix), so the headers are looked up where the package is missing.
function(maroquint_header_library target header)
  if(TARGET ${target})
    return()
  endif()
  string(MAKE_C_IDENTIFIER "MAROQUINT_${target}_INCLUDE_DIR" variable)
  find_path(${variable} ${header} REQUIRED)
  add_library(${target} INTERFACE IMPORTED)
  target_include_directories(${target} INTERFACE ${${variable}})
endfunction()

maroquint_header_library(Asio::asio asio.hpp)
target_compile_definitions(Asio::asio INTERFACE ASIO_STANDALONE)
find_package(CLI11 CONFIG QUIET)
maroquint_header_library(CLI11::CLI11 CLI/CLI.hpp)
find_package(nlohmann_json 3 CONFIG QUIET)
maroquint_header_library(nlohmann_json::nlohmann_json nlohmann/json.hpp)

if(BUILD_TESTING)
  find_package(GTest REQUIRED)
endif()

set(maroquint_missing)

if(MAROQUINT_BENCHMARKS)
  find_package(benchmark QUIET)
  if(NOT TARGET benchmark::benchmark AND NOT CMAKE_CROSSCOMPILING)
    list(APPEND maroquint_missing "Google Benchmark (libbenchmark-dev): the benchmarks that use it")
  endif()
endif()

if(NOT CMAKE_CROSSCOMPILING)
  # Debian's PLplot CMake package names every binding, installed or not, so
  # the library is looked up directly.
  find_path(PLPLOT_INCLUDE_DIR plplot.h PATH_SUFFIXES plplot)
  find_library(PLPLOT_LIBRARY plplot)
  if(PLPLOT_INCLUDE_DIR AND PLPLOT_LIBRARY)
    add_library(PLplot::plplot UNKNOWN IMPORTED)
    set_target_properties(PLplot::plplot PROPERTIES IMPORTED_LOCATION ${PLPLOT_LIBRARY}
      INTERFACE_INCLUDE_DIRECTORIES ${PLPLOT_INCLUDE_DIR})
  else()
    list(APPEND maroquint_missing "PLplot (libplplot-dev): --plot of maroquint-monitor and maroquint-align")
  endif()

  # Debian's EDFlib, an independent implementation of EDF and BDF: the
  # simulated amplifier writes with it, tests check our reader against it.
  find_path(EDFLIB_INCLUDE_DIR edflib.h)
  find_library(EDFLIB_LIBRARY edf)
  if(EDFLIB_INCLUDE_DIR AND EDFLIB_LIBRARY)
    add_library(EDFlib::edflib UNKNOWN IMPORTED)
    set_target_properties(EDFlib::edflib PROPERTIES IMPORTED_LOCATION ${EDFLIB_LIBRARY}
      INTERFACE_INCLUDE_DIRECTORIES ${EDFLIB_INCLUDE_DIR})
  else()
    list(APPEND maroquint_missing "EDFlib (libedf-dev): the simulated amplifier and the EDF checks")
  endif()

  # Debian's libxdf, an independent XDF reader, for the checks of our writer.
  find_package(libxdf CONFIG QUIET)
  if(NOT TARGET XDF::xdf)
    list(APPEND maroquint_missing "libxdf (libxdf-dev): the XDF checks")
  endif()

  find_package(PNG QUIET)
  if(NOT TARGET PNG::PNG)
    list(APPEND maroquint_missing "libpng (libpng-dev): the monitor's picture tests")
  endif()
endif()

foreach(missing IN LISTS maroquint_missing)
  if(MAROQUINT_REQUIRE_ALL)
    message(SEND_ERROR "Not found: ${missing} (MAROQUINT_REQUIRE_ALL is on, as under CI)")
  else()
    message(NOTICE "Not found, left out: ${missing}")
  endif()
endforeach()
