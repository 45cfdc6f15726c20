#!/usr/bin/env bash
# The console launcher at a terminal. Wine gives a program a console only
# under a pseudo-terminal, so each case runs under script.
#
#   console_test.sh WINE_RUN PROBE_CONSOLE_EXE LAUNCH_TESTS_EXE
#
# The application's output appears on the terminal, its status is the
# launcher's, and Ctrl+C reaches both processes: the application ends and
# the launcher removes its unpack directory.
set -euo pipefail
wine_run=$1 probe=$2 tests=$3
scale=${VESKAR_TEST_TIMEOUT_SCALE:-1}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/veskar-console.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() { echo "FAIL ($case_name): $*"; failures=$((failures + 1)); }

wait_for() {
  local limit=$(( $1 * 10 * scale )) i=0
  shift
  until "$@"; do
    i=$((i + 1))
    [ "$i" -le "$limit" ] || return 1
    sleep 0.1
  done
}

# The terminal sees the application's report lines; script passes the status on.
case_name=output_and_status
status=0
script -qfec "$(printf '%q ' "$wine_run" "$probe" args hello)" "$scratch/typescript" > /dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "status $status"
grep -q 'count: 3' "$scratch/typescript" || fail "no report on the terminal: $(cat "$scratch/typescript")"
grep -q 'argument: 00680065006c006c006f' "$scratch/typescript" || fail "argument missing: $(cat "$scratch/typescript")"
status=0
script -qfec "$(printf '%q ' "$wine_run" "$probe" exit 42)" /dev/null > /dev/null 2>&1 || status=$?
[ "$status" -eq 42 ] || fail "status $status, not 42"
echo "case $case_name done"

case_name=ctrl_c_ends_both
dir="$scratch/ctrl_c"
mkdir -p "$dir"
ready=$("$wine_run" winepath -w "$dir/ready.txt")
go=$("$wine_run" winepath -w "$dir/go")
printf 'echo $$ > %q\nexec %q %q wait %q %q 42\n' "$dir/pid" "$wine_run" "$probe" "$ready" "$go" > "$dir/run.sh"
script -qfec "sh $(printf %q "$dir/run.sh")" "$dir/typescript" > /dev/null 2>&1 &
script_pid=$!
if wait_for 60 test -s "$dir/ready.txt"; then
  application_pid=$(sed -n 1p "$dir/ready.txt")
  library=$(sed -n 2p "$dir/ready.txt")
  unpack_dir=$("$wine_run" winepath -u "${library%\\*}")
  [ -d "$unpack_dir" ] || fail "no unpack directory at $unpack_dir"
  kill -INT "$(cat "$dir/pid")"
  if ! wait_for 60 eval '! kill -0 '"$script_pid"' 2>/dev/null'; then
    fail "the launcher did not end"
    kill "$script_pid" 2>/dev/null || true
  fi
  wait "$script_pid" 2>/dev/null || true
  [ ! -e "$unpack_dir" ] || fail "the unpack directory is still there"
  [ ! -e "$dir/ready.txt.done" ] || fail "the application did not get the Ctrl+C"
  if "$wine_run" "$tests" --helper process_alive "$application_pid"; then
    fail "the application still runs"
  fi
else
  fail "the application never came up: $(cat "$dir/typescript")"
  kill "$script_pid" 2>/dev/null || true
fi
echo "case $case_name done"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all console cases passed"
