# Operations tests: the manual page, installation and the Debian package, the
# served examples, the systemd units, the HAProxy fleet, the metrics served by
# node_exporter and the container image. Each is a shell script under
# tests/operations/ that drives the real binary over loopback.
#
# timeout(1) ends a script that hangs with TERM, which still runs its EXIT
# trap and so ends every process it started; CTest's own TIMEOUT is the
# backstop. Exit status 77 means a tool the test needs is missing here.

set(SOCKHERD_OPS_DIR ${CMAKE_CURRENT_SOURCE_DIR}/operations)

function(sockherd_ops_test name seconds)
  add_test(NAME ops.${name}
           COMMAND timeout -k 10 ${seconds} bash ${SOCKHERD_OPS_DIR}/${name}_test.sh ${ARGN})
  math(EXPR ctest_seconds "${seconds} + 30")
  set_tests_properties(ops.${name} PROPERTIES
                       TIMEOUT ${ctest_seconds}
                       SKIP_RETURN_CODE 77
                       LABELS operations)
endfunction()

sockherd_ops_test(manpage 60
  $<TARGET_FILE:sockherd> ${PROJECT_SOURCE_DIR}/man/sockherd.1 ${PROJECT_SOURCE_DIR})
sockherd_ops_test(install 180
  ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION})
sockherd_ops_test(examples 120
  $<TARGET_FILE:sockherd> ${PROJECT_SOURCE_DIR}/examples)
sockherd_ops_test(systemd 60
  $<TARGET_FILE:sockherd> ${PROJECT_SOURCE_DIR}/examples ${PROJECT_SOURCE_DIR}/man/sockherd.1)
sockherd_ops_test(haproxy 180
  $<TARGET_FILE:sockherd> ${PROJECT_SOURCE_DIR}/examples)
sockherd_ops_test(metrics 120 $<TARGET_FILE:sockherd>)
sockherd_ops_test(container 180
  ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION})
