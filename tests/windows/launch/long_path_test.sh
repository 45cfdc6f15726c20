#!/usr/bin/env bash
# Windows refuses every plain path of 260 units or more unless long paths
# are enabled for the whole machine; Wine takes any length, so a plain long
# path works here and fails there. Wine's file trace shows each Win32 path it
# converts: the launchers run with a TEMP so deep that everything they make
# is past the limit, and any such path handed over plainly fails the test.
# Wine's call trace, kept to the one function, shows each flush: a reusing
# first start flushes every file of its tree, per-run unpacks flush nothing.
#
#   long_path_test.sh WINE_RUN LAUNCH_TESTS_EXE LAUNCHER...
set -euo pipefail
wine_run=$1 tests=$2
shift 2
scale=${VESKAR_TEST_TIMEOUT_SCALE:-1}
# The server and the prefix's services come up untraced: they would log
# into the trace for as long as they run.
"$wine_run" "$tests" --helper process_alive 0 > /dev/null || true
"$wine_run" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d KERNEL32.FlushFileBuffers /f > /dev/null
launchers=()
for launcher in "$@"; do launchers+=("Z:${launcher//\//\\}"); done
trace=$(mktemp) out=$(mktemp)
trap 'rm -f "$trace" "$out"' EXIT
status=0
VESKAR_WINEDEBUG=-all,+file,+relay timeout $((240 * scale)) "$wine_run" "$tests" --helper long_paths "${launchers[@]}" \
  > "$out" 2> "$trace" || status=$?
cat "$out"
if [ "$status" != 0 ]; then
  echo "FAIL: a launcher with a long TEMP did not run its application once a start, or left a per-run tree (status $status)"
  exit 1
fi
reused_files=$(sed -n 's/^reused files: \([0-9]*\).*/\1/p' "$out")
python3 - "$trace" "$reused_files" <<'PY'
import re, sys
trace, reused_files = sys.argv[1], int(sys.argv[2])
plain, prefixed, flushes = [], 0, 0
for line in open(trace, encoding="utf-8", errors="replace"):
    if "Call KERNEL32.FlushFileBuffers(" in line:
        flushes += 1
    start = line.find('RtlDosPathNameToNtPathName_U_WithStatus (L"')
    if start < 0:
        continue
    text = line[start + len('RtlDosPathNameToNtPathName_U_WithStatus (L"'):]
    # The trace escapes the string and cuts a long one with '"...'.
    units, i = [], 0
    while i < len(text) and text[i] != '"':
        if text[i] == "\\" and i + 1 < len(text):
            if text[i + 1] == "x":
                units.append(chr(int(text[i + 2:i + 6], 16)))
                i += 6
                continue
            units.append(text[i + 1])
            i += 2
            continue
        units.append(text[i])
        i += 1
    path = "".join(units)
    cut = text[i:i + 4] == '"...'
    if len(path) < 260 and not cut:
        continue
    if path.startswith("\\\\?\\"):
        prefixed += 1
    else:
        plain.append(path[:120] + "...")
print(f"long paths in the trace: {prefixed} prefixed, {len(plain)} plain; flushes: {flushes}, reused files: {reused_files}")
failed = False
if plain:
    print("FAIL: plain paths past the system's limit:\n  " + "\n  ".join(sorted(set(plain))))
    failed = True
if prefixed == 0:
    print("FAIL: no long path was traced at all: the trace did not work")
    failed = True
if reused_files == 0 or flushes != reused_files:
    print("FAIL: a reusing first start flushes each file of its tree and nothing else is flushed")
    failed = True
sys.exit(1 if failed else 0)
PY
