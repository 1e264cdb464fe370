# Tests that open LSL sockets run through tools/netns-run, which keeps every
# packet they send on this machine.
set(MAROQUINT_NETNS_RUN ${PROJECT_SOURCE_DIR}/tools/netns-run)

# maroquint_add_test(NAME <name> TARGET <executable target> [NETWORK]
#                    [TIMEOUT <s>] [ENVIRONMENT <VAR=value>...] [ARGS ...])
#
# A GoogleTest program becomes one ctest entry per test suite, <name>.<Suite>,
# so that `ctest -j2` spreads a long program over both cores. The suites are
# read at configure time from the TEST, TEST_F, TEST_P and TYPED_TEST lines
# of the target's sources (a changed source reconfigures), and a last entry,
# <name>.others, runs whatever those filters miss, so that no test can drop
# out unseen. With a --gtest_filter of its own in ARGS, the program is one
# entry. Every entry is labelled with the test's top folder (lsl, monitor,
# ...), and the target `maroquint_tests_<folder>` builds all that the
# folder's entries run: `ctest -L` and `cmake --build --target` select the
# same tests (CI's ThreadSanitizer stage).
function(maroquint_add_test)
  cmake_parse_arguments(T "NETWORK" "NAME;TARGET;TIMEOUT" "ARGS;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # Under Wine the programs a test starts come up several times slower.
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * 3")
  endif()
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REGEX REPLACE "/.*" "" folder "${folder}")
  set_property(GLOBAL APPEND PROPERTY MAROQUINT_TEST_FOLDERS ${folder})
  set_property(GLOBAL APPEND PROPERTY MAROQUINT_TESTS_${folder} ${T_TARGET})

  set(suites)
  if(NOT T_ARGS MATCHES "--gtest_filter")
    get_target_property(sources ${T_TARGET} SOURCES)
    get_target_property(source_dir ${T_TARGET} SOURCE_DIR)
    foreach(source IN LISTS sources)
      if(NOT IS_ABSOLUTE ${source})
        set(source ${source_dir}/${source})
      endif()
      if(NOT source MATCHES "\\.(cpp|cc)$")
        continue()
      endif()
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
      file(STRINGS ${source} lines REGEX "^ *(TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P) *\\(")
      foreach(line IN LISTS lines)
        string(REGEX REPLACE "^ *[A-Z_]+ *\\( *([A-Za-z0-9_]+).*" "\\1" suite "${line}")
        list(APPEND suites ${suite})
      endforeach()
    endforeach()
    list(REMOVE_DUPLICATES suites)
  endif()

  set(entries)
  set(all_filters)
  foreach(suite IN LISTS suites)
    # Plain and fixture tests (Suite.Test), typed ones (Suite/0.Test) and
    # instantiated parameterized ones (Prefix/Suite.Test/0).
    set(filter "${suite}.*:${suite}/*:*/${suite}.*:*/${suite}/*")
    list(APPEND entries "${T_NAME}.${suite}|--gtest_filter=${filter}")
    string(APPEND all_filters ":${filter}")
  endforeach()
  if(suites)
    string(SUBSTRING "${all_filters}" 1 -1 all_filters)
    list(APPEND entries "${T_NAME}.others|--gtest_filter=-${all_filters}")
  else()
    list(APPEND entries "${T_NAME}|")
  endif()

  foreach(entry IN LISTS entries)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 name)
    list(LENGTH entry n)
    set(filter_args)
    if(n GREATER 1)
      list(GET entry 1 filter_args)
    endif()
    if(T_NETWORK AND CMAKE_HOST_WIN32)
      # Windows has no network namespaces: there the configuration that
      # confines discovery to 127.0.0.1 keeps the packets on this machine.
      add_test(NAME ${name} COMMAND ${T_TARGET} ${filter_args} ${T_ARGS})
      list(APPEND T_ENVIRONMENT LSLAPICFG=${PROJECT_SOURCE_DIR}/tools/lsl_machine_scope.cfg)
    elseif(T_NETWORK)
      # ctest adds CMAKE_CROSSCOMPILING_EMULATOR (wine64) only where the
      # test's command is the target itself, so it is put in here by hand.
      add_test(NAME ${name} COMMAND ${MAROQUINT_NETNS_RUN} ${CMAKE_CROSSCOMPILING_EMULATOR}
        $<TARGET_FILE:${T_TARGET}> ${filter_args} ${T_ARGS})
    else()
      add_test(NAME ${name} COMMAND ${T_TARGET} ${filter_args} ${T_ARGS})
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS ${folder})
    if(T_ENVIRONMENT)
      set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
    endif()
    set(locks)
    # tools/wine-run puts all the Windows tests in one network namespace and
    # one wineserver, where two of them would see each other's streams and
    # share the simulated device's lock file: those that open sockets take
    # turns, the others run beside them.
    if(T_NETWORK AND CMAKE_CROSSCOMPILING_EMULATOR)
      list(APPEND locks wine_network)
    endif()
    if(locks)
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${locks}")
    endif()
  endforeach()
endfunction()

# maroquint_test_targets(): the targets maroquint_tests_<folder>, called once
# all folders are added.
function(maroquint_test_targets)
  get_property(folders GLOBAL PROPERTY MAROQUINT_TEST_FOLDERS)
  list(REMOVE_DUPLICATES folders)
  foreach(folder IN LISTS folders)
    get_property(targets GLOBAL PROPERTY MAROQUINT_TESTS_${folder})
    list(REMOVE_DUPLICATES targets)
    add_custom_target(maroquint_tests_${folder} DEPENDS ${targets})
  endforeach()
endfunction()

# maroquint_test_runs(<target> <program target>...)
#
# Lets <target> run the built programs through testing/child_process.h:
# maroquint as MAROQUINT_PROGRAM (testing/program.h), maroquint-monitor as
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
