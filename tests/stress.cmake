# Reliability suites: load (label "stress"), faults, hostile input and
# security checks (label "faults", with "fuzz" and "memcheck" for the two
# long ones). Each label runs alone with `ctest --test-dir build -L stress`
# (or -L faults, ...). The fault and security cases and a short load run
# are part of label "quick" too.

# The command the suites hand to sockherd. Static and without sanitizers even
# in the sanitizer build: tens of thousands of them start per run, and the
# daemon, not this helper, is what is under test.
add_executable(stress_command stress_command.cc)
target_compile_options(stress_command PRIVATE ${SOCKHERD_WARNINGS} -fno-sanitize=all -fno-exceptions -fno-rtti)
target_link_options(stress_command PRIVATE -fno-sanitize=all -static)

set(SOCKHERD_STRESS_DEFINITIONS
  SOCKHERD_BIN="$<TARGET_FILE:sockherd>"
  STRESS_COMMAND="$<TARGET_FILE:stress_command>")

add_executable(sockherd_stress_test harness.cc json_line.cc stress_support.cc stress_test.cc)
target_link_libraries(sockherd_stress_test PRIVATE sockherd_core GTest::gtest GTest::gtest_main)
target_compile_options(sockherd_stress_test PRIVATE ${SOCKHERD_WARNINGS})
target_compile_definitions(sockherd_stress_test PRIVATE ${SOCKHERD_STRESS_DEFINITIONS}
  RULEGEN_BIN="$<TARGET_FILE:rulegen>")
add_dependencies(sockherd_stress_test sockherd stress_command rulegen)
# Counts and durations come from SOCKHERD_STRESS_CONNECTIONS and
# SOCKHERD_CHURN_SECONDS; the timeout is a guard against a hang only.
gtest_discover_tests(sockherd_stress_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS stress TIMEOUT 600)
# The two counted load runs at a quarter of their size: enough to catch a lost
# client or a leaked descriptor after every change, in seconds. ASan makes
# each connection several times dearer, so less there. The -J run takes a
# tenth of that count: a JSON line written in pieces shows within hundreds.
set(short_load_connections 5000)
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  set(short_load_connections 1000)
endif()
add_test(NAME load.short
         COMMAND sockherd_stress_test
                 --gtest_filter=StressTest.EveryClientOfTwentyThousandGetsTheWholeOutput:StressTest.MixedClientsAtFourWithRefusalsEachGetOutputOrRefusal:StressTest.JsonLogLinesStayWholeAmongTheCommandsOwn)
set_tests_properties(load.short PROPERTIES
                     ENVIRONMENT SOCKHERD_STRESS_CONNECTIONS=${short_load_connections}
                     LABELS quick
                     TIMEOUT 300)

add_executable(sockherd_fault_test harness.cc json_line.cc stress_support.cc fault_test.cc fuzz_test.cc
               security_test.cc)
target_link_libraries(sockherd_fault_test PRIVATE sockherd_core GTest::gtest GTest::gtest_main)
target_compile_options(sockherd_fault_test PRIVATE ${SOCKHERD_WARNINGS})
target_compile_definitions(sockherd_fault_test PRIVATE ${SOCKHERD_STRESS_DEFINITIONS}
  SOCKHERD_DYNAMIC_BIN="$<TARGET_FILE:sockherd_dynamic>")
add_dependencies(sockherd_fault_test sockherd sockherd_dynamic stress_command)
gtest_discover_tests(sockherd_fault_test TEST_FILTER FaultTest.*:SecurityTest.* TEST_LIST fault_cases
                     DISCOVERY_TIMEOUT 60 PROPERTIES LABELS faults TIMEOUT 300)
gtest_discover_tests(sockherd_fault_test TEST_FILTER FuzzTest.* TEST_LIST fuzz_cases
                     DISCOVERY_TIMEOUT 60 PROPERTIES LABELS fuzz TIMEOUT 300)
gtest_discover_tests(sockherd_fault_test TEST_FILTER MemcheckTest.* TEST_LIST memcheck_cases
                     DISCOVERY_TIMEOUT 60 PROPERTIES LABELS memcheck TIMEOUT 300)
# gtest_discover_tests passes a list of labels on as separate words, so the
# second labels are given once the cases are known, in a file that ctest
# reads after the discovered ones.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/fault_labels.cmake [=[
foreach(name IN LISTS fault_cases)
  set_tests_properties("${name}" PROPERTIES LABELS "faults;quick")
endforeach()
foreach(name IN LISTS fuzz_cases)
  set_tests_properties("${name}" PROPERTIES LABELS "faults;fuzz")
endforeach()
foreach(name IN LISTS memcheck_cases)
  set_tests_properties("${name}" PROPERTIES LABELS "faults;memcheck")
endforeach()
]=])
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_CURRENT_BINARY_DIR}/fault_labels.cmake)
