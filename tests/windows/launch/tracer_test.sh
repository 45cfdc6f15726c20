#!/usr/bin/env bash
# The launcher under a tracer, as a user who wants to see what it does would
# run it (strace -f): reading another process's memory then fails, and the
# launcher must still run its application once and leave nothing behind.
#
#   tracer_test.sh WINE_RUN PROBE_EXE LAUNCH_TESTS_EXE
set -euo pipefail
wine_run=$1 probe=$2 tests=$3
scale=${VESKAR_TEST_TIMEOUT_SCALE:-1}
# Wine's server is started untraced first: a traced one would outlive the run.
"$wine_run" "$tests" --helper process_alive 0 > /dev/null || true
probe_windows="Z:${probe//\//\\}"
status=0
timeout $((240 * scale)) strace -f -qq -o /dev/null "$wine_run" "$tests" --helper launch_once "$probe_windows" ||
  status=$?
[ "$status" = 0 ] || echo "FAIL: under strace the launcher did not run its application once and leave nothing (status $status)"
exit "$status"
