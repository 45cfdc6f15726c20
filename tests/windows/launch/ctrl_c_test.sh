#!/usr/bin/env bash
# Ctrl+C at a terminal while the application runs. Wine hands console events
# only to a program that has a console, so the launcher runs under a
# pseudo-terminal (script) and gets SIGINT, as from a user's Ctrl+C.
#
#   ctrl_c_test.sh WINE_RUN PROBE_EXE LAUNCH_TESTS_EXE [entry]
#
# With "entry", PROBE_EXE runs an entry program (entry_app.cpp) that shares
# the console, must have had the event itself and handles it: it runs on past
# the launcher's grace time for an application library, then exits 7, and
# the launcher waits for it and ends with that status.
#
# Two cases for an application library: one that would run for ever is
# ended after its grace time; one that finishes within it is left to finish.
# In every case the launcher ends and its unpack directory is gone.
set -euo pipefail
wine_run=$1 probe=$2 tests=$3 kind=${4:-library}
scale=${VESKAR_TEST_TIMEOUT_SCALE:-1}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/veskar-ctrl-c.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() { echo "FAIL ($case_name): $*"; failures=$((failures + 1)); }

# Waits up to $1 seconds (scaled) for the command in the remaining arguments.
wait_for() {
  local limit=$(( $1 * 10 * scale )) i=0
  shift
  until "$@"; do
    i=$((i + 1))
    [ "$i" -le "$limit" ] || return 1
    sleep 0.1
  done
}

run_case() {
  case_name=$1
  local finish_on_its_own=$2 dir="$scratch/$1"
  mkdir -p "$dir"
  local ready go
  ready=$("$wine_run" winepath -w "$dir/ready.txt")
  go=$("$wine_run" winepath -w "$dir/go")
  # The shell's own pid is the Wine process's after the two execs.
  printf 'echo $$ > %q\nexec %q %q wait %q %q %q > %q 2> %q\n' \
    "$dir/pid" "$wine_run" "$probe" "$ready" "$go" "$([ "$kind" = entry ] && echo 7 || echo 42)" \
    "$dir/out" "$dir/err" > "$dir/run.sh"
  script -qfec "sh $(printf %q "$dir/run.sh")" /dev/null > /dev/null 2>&1 &
  local script_pid=$!
  if ! wait_for 60 test -s "$dir/ready.txt"; then
    fail "the application never came up"
    kill "$script_pid" 2>/dev/null || true
    return
  fi
  local application_pid library unpack_dir
  application_pid=$(sed -n 1p "$dir/ready.txt")
  library=$(sed -n 2p "$dir/ready.txt")
  unpack_dir=$("$wine_run" winepath -u "${library%\\*}")
  [ -d "$unpack_dir" ] || fail "no unpack directory at $unpack_dir"

  if [ "$kind" = entry ]; then
    # As a terminal does at Ctrl+C: the whole foreground process group,
    # the entry program's Wine process included.
    kill -INT -- "-$(ps -o pgid= -p "$(cat "$dir/pid")" | tr -d ' ')"
    wait_for 30 test -s "$dir/ready.txt.event" && [ "$(tr -d '\r\n' < "$dir/ready.txt.event")" = 0 ] ||
      fail "the entry program did not get the Ctrl+C"
    # Past the 5 s an application library's child is given, both still run.
    sleep $(( 7 * scale ))
    kill -0 "$script_pid" 2>/dev/null || fail "the launcher did not wait for the program"
    [ ! -e "$dir/ready.txt.done" ] || fail "the program ended before it was told to"
    "$wine_run" "$tests" --helper process_alive "$application_pid" || fail "the program was ended"
  else
    kill -INT "$(cat "$dir/pid")"
  fi
  [ "$finish_on_its_own" = yes ] && touch "$dir/go"
  if ! wait_for 60 eval '! kill -0 '"$script_pid"' 2>/dev/null'; then
    fail "the launcher did not end"
    kill "$script_pid" 2>/dev/null || true
  fi
  local status=0
  wait "$script_pid" 2>/dev/null || status=$?
  if [ "$kind" = entry ]; then
    [ "$status" = 7 ] || fail "status $status, not the program's own 7"
  else
    # An interrupted launcher ends with 0xC000013A; a shell sees its low byte.
    [ "$status" = 58 ] || fail "status $status, not the low byte of 0xC000013A"
  fi

  [ ! -e "$unpack_dir" ] || fail "the unpack directory is still there"
  if [ "$finish_on_its_own" = yes ]; then
    [ -e "$dir/ready.txt.done" ] || fail "the application was not let finish"
  else
    [ ! -e "$dir/ready.txt.done" ] || fail "the application finished although it waits for ever"
    if "$wine_run" "$tests" --helper process_alive "$application_pid"; then
      fail "the application still runs"
    fi
  fi
  [ ! -s "$dir/err" ] || fail "unexpected error output: $(cat "$dir/err")"
  echo "case $case_name done"
}

if [ "$kind" = entry ]; then
  run_case program_handles_it yes
else
  run_case ended_after_grace_time no
  run_case finishes_within_grace_time yes
fi
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all Ctrl+C cases passed"
