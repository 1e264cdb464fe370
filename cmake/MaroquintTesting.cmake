# Tests that open LSL sockets run through tools/netns-run, which keeps every
# packet they send on this machine.
set(MAROQUINT_NETNS_RUN ${PROJECT_SOURCE_DIR}/tools/netns-run)

# maroquint_add_test(NAME <name> TARGET <executable target> [NETWORK] [ARGS ...])
function(maroquint_add_test)
  cmake_parse_arguments(T "NETWORK" "NAME;TARGET;TIMEOUT" "ARGS" ${ARGN})
  if(T_NETWORK AND CMAKE_HOST_WIN32)
    # Windows has no network namespaces: there the configuration that
    # confines discovery to 127.0.0.1 keeps the packets on this machine.
    add_test(NAME ${T_NAME} COMMAND ${T_TARGET} ${T_ARGS})
    set_tests_properties(${T_NAME} PROPERTIES
      ENVIRONMENT LSLAPICFG=${PROJECT_SOURCE_DIR}/tools/lsl_machine_scope.cfg)
  elseif(T_NETWORK)
    # ctest adds CMAKE_CROSSCOMPILING_EMULATOR (wine64) only where the test's
    # command is the target itself, so it is put in here by hand.
    add_test(NAME ${T_NAME} COMMAND ${MAROQUINT_NETNS_RUN} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${T_TARGET}> ${T_ARGS})
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_TARGET} ${T_ARGS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # Under Wine the programs a test starts come up several times slower.
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * 3")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()

# maroquint_test_runs(<target> <program target>...)
#
# Lets <target> run the built programs through testing/ChildProcess.h:
# maroquint as MAROQUINT_PROGRAM (testing/Program.h), maroquint-monitor as
# MAROQUINT_MONITOR, each built before the target.
function(maroquint_test_runs target)
  target_link_libraries(${target} PRIVATE maroquint_testing)
  foreach(program IN LISTS ARGN)
    if(program STREQUAL "maroquint")
      set(macro MAROQUINT_PROGRAM)
    elseif(program STREQUAL "maroquint-monitor")
      set(macro MAROQUINT_MONITOR)
    else()
      message(FATAL_ERROR "maroquint_test_runs: no macro for the program '${program}'")
    endif()
    target_compile_definitions(${target} PRIVATE ${macro}="$<TARGET_FILE:${program}>")
    add_dependencies(${target} ${program})
  endforeach()
endfunction()
