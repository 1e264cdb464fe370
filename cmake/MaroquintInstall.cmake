# cmake --install <build> --prefix <P>: the program, the monitor, the
# alignment tool where it is built, the libraries of this build they load,
# and the documentation. The programs find the
# libraries through their run path ($ORIGIN/../lib), so P/bin/maroquint runs
# without a library path; on Windows the DLLs go beside the programs.
include(GNUInstallDirs)

set(maroquint_programs maroquint maroquint-monitor)
if(TARGET maroquint-align)
  list(APPEND maroquint_programs maroquint-align)
endif()
set(maroquint_libraries)
if(TARGET lsl AND MAROQUINT_LSL_USED STREQUAL "bundled")
  list(APPEND maroquint_libraries lsl)
endif()
if(MAROQUINT_DAQ_USED STREQUAL "sim")
  list(APPEND maroquint_libraries simdaq)
endif()

if(NOT WIN32)
  file(RELATIVE_PATH maroquint_lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(${maroquint_programs} PROPERTIES
    INSTALL_RPATH "$ORIGIN/${maroquint_lib_from_bin}")
endif()

install(TARGETS ${maroquint_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(maroquint_libraries)
  install(TARGETS ${maroquint_libraries}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES monitor/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/monitor)
install(FILES align/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/align)
if(MAROQUINT_LSL_USED STREQUAL "bundled")
  install(FILES lsl/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/lsl)
endif()

# The install itself, as a user makes it: into a fresh prefix, then both
# programs run from its bin folder with no library path set. The program
# opens its stream, so the test runs in the private network.
if(BUILD_TESTING AND NOT CMAKE_CROSSCOMPILING AND NOT WIN32 AND MAROQUINT_DAQ_USED STREQUAL "sim")
  add_test(NAME install
    COMMAND ${MAROQUINT_NETNS_RUN} ${CMAKE_COMMAND} -DBUILD=${PROJECT_BINARY_DIR}
            -DPREFIX=${PROJECT_BINARY_DIR}/install-test -P ${PROJECT_SOURCE_DIR}/cmake/CheckInstall.cmake)
  set_tests_properties(install PROPERTIES TIMEOUT 300)
endif()
