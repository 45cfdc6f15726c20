#!/usr/bin/env bash
# Progress on the console while a first start unpacks, seen at a terminal
# (Wine gives a program a console only under a pseudo-terminal: script) and
# by a program reading the streams. The launchers pack the splash test
# application, whose "print" writes a line to each stream (the console's
# mode on standard error), beside generated files, with and without
# --no-progress. Usage: progress_console_test.sh BINARY_DIR WINE_RUN
set -euo pipefail
bin=$(cd "$1" && pwd)
wine_run=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/veskar-progress.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL ($case_name): $*"; failures=$((failures + 1)); }
control=$("$wine_run" winepath -w "$scratch")

case_name=terminal
for launcher in progress_console progress_console_off; do
  script -qfec "$(printf '%q ' "$wine_run" "$bin/$launcher.exe" "$control" print)" "$scratch/$launcher.raw" \
    > /dev/null 2>&1 || true
  # Without the cursor sequences Wine's console writes between characters.
  sed -E $'s/\x1b\\[[0-9;?]*[A-Za-z]//g' "$scratch/$launcher.raw" > "$scratch/$launcher.text"
done
text=$scratch/progress_console.text
# The line rewritten in place, the percentage on the tab; then the line
# erased, the tab cleared and only then the application's output, which
# finds the console's mode as without progress.
grep -qaE $'\rUnpacking progress_console: [0-9]+ % \\([0-9]+ of 24 MB\\)' "$text" || fail "no line: $(cat -v "$text")"
grep -aoE $'\x1b\\]9;4;1;[0-9]+' "$text" > /dev/null || fail "no terminal sequence: $(cat -v "$text")"
grep -qazP '(?s)MB\)\r {30,}\r\x1b\]9;4;0(?:(?!Unpacking|\x1b\]).)*application ?output' "$text" ||
  fail "not erased and cleared before the output: $(cat -v "$text")"
mode=$(grep -aoE 'console ?mode: ?[0-9a-f]+' "$text" || true)
[ -n "$mode" ] && [ "$mode" = "$(grep -aoE 'console ?mode: ?[0-9a-f]+' "$scratch/progress_console_off.text")" ] ||
  fail "the console's mode differs: $mode"
grep -qa Unpacking "$scratch/progress_console_off.text" && fail "progress from a launcher packed without"
echo "case $case_name done"

# Not one byte more reaches a pipe, a file or NUL.
for case_name in pipe file nul; do
  for launcher in progress_console progress_console_off; do
    out=$scratch/$case_name.$launcher.out err=$scratch/$case_name.$launcher.err status=0
    case $case_name in
      pipe) { "$wine_run" "$bin/$launcher.exe" "$control" print 2>&3 | cat > "$out"; } 3>&1 | cat > "$err" || status=$? ;;
      file) "$wine_run" "$bin/$launcher.exe" "$control" print > "$out" 2> "$err" || status=$? ;;
      nul) "$wine_run" "$bin/$launcher.exe" "$control" print > "$out" 2> /dev/null || status=$?; : > "$err" ;;
    esac
    [ "$status" = 42 ] || fail "$launcher: status $status, not the application's 42"
  done
  grep -q "application output" "$scratch/$case_name.progress_console.out" || fail "no output from the application"
  for stream in out err; do
    cmp "$scratch/$case_name.progress_console.$stream" "$scratch/$case_name.progress_console_off.$stream" ||
      fail "$stream differs: $(cat -v "$scratch/$case_name.progress_console.$stream")"
  done
  echo "case $case_name done"
done
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all progress console cases passed"
