# Reliability suites: load (label "stress"), faults, hostile input and
# security checks (label "faults"). Both run in the default ctest; either
# label runs alone with `ctest --test-dir build -L stress` (or -L faults).

# The command the suites hand to sockherd. Static and without sanitizers even
# in the sanitizer build: tens of thousands of them start per run, and the
# daemon, not this helper, is what is under test.
add_executable(stress_command stress_command.cc)
target_compile_options(stress_command PRIVATE ${SOCKHERD_WARNINGS} -fno-sanitize=all -fno-exceptions -fno-rtti)
target_link_options(stress_command PRIVATE -fno-sanitize=all -static)

set(SOCKHERD_STRESS_DEFINITIONS
  SOCKHERD_BIN="$<TARGET_FILE:sockherd>"
  STRESS_COMMAND="$<TARGET_FILE:stress_command>")

add_executable(sockherd_stress_test harness.cc stress_support.cc stress_test.cc)
target_link_libraries(sockherd_stress_test PRIVATE sockherd_core GTest::gtest GTest::gtest_main)
target_compile_options(sockherd_stress_test PRIVATE ${SOCKHERD_WARNINGS})
target_compile_definitions(sockherd_stress_test PRIVATE ${SOCKHERD_STRESS_DEFINITIONS})
add_dependencies(sockherd_stress_test sockherd stress_command)
# Counts and durations come from SOCKHERD_STRESS_CONNECTIONS and
# SOCKHERD_CHURN_SECONDS; the timeout is a guard against a hang only.
gtest_discover_tests(sockherd_stress_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS stress TIMEOUT 600)

add_executable(sockherd_fault_test harness.cc stress_support.cc fault_test.cc fuzz_test.cc security_test.cc)
target_link_libraries(sockherd_fault_test PRIVATE sockherd_core GTest::gtest GTest::gtest_main)
target_compile_options(sockherd_fault_test PRIVATE ${SOCKHERD_WARNINGS})
target_compile_definitions(sockherd_fault_test PRIVATE ${SOCKHERD_STRESS_DEFINITIONS}
  SOCKHERD_DYNAMIC_BIN="$<TARGET_FILE:sockherd_dynamic>")
add_dependencies(sockherd_fault_test sockherd sockherd_dynamic stress_command)
gtest_discover_tests(sockherd_fault_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS faults TIMEOUT 300)
