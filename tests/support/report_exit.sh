#!/usr/bin/env bash
# report_exit.sh COMMAND...: runs a test's command and prints its exit status
# as the last line of the output.  CTest ignores the exit status of a test
# that has a pass pattern; zeq_add_output_test (tests/CMakeLists.txt) fails
# such a test on this line instead.  Exits with the command's own status, so
# that SKIP_RETURN_CODE still applies.
"$@"
status=$?
printf '\n[test command exited %d]\n' "$status"
exit "$status"
