#!/usr/bin/env bash
# Windows refuses every plain path of 260 units or more unless long paths
# are enabled for the whole machine; Wine takes any length. Wine's file
# trace shows each Win32 path it converts: launchers run with a TEMP so deep
# that all they make is past the limit, and a plain path of that length in
# the trace fails the test. Wine's call trace, kept to the one function,
# shows each flush: a reusing first start flushes every file of its tree,
# per-run unpacks none.
#
#   long_path_test.sh WINE_RUN LAUNCH_TESTS_EXE LAUNCHER...
set -euo pipefail
wine_run=$1 tests=$2
shift 2
scale=${VESKAR_TEST_TIMEOUT_SCALE:-1}
# The server and the prefix's services come up untraced: they would log
# into the trace for as long as they run.
"$wine_run" "$tests" --helper process_alive 0 > /dev/null || true
relay_key='HKCU\Software\Wine\Debug'
"$wine_run" reg add "$relay_key" /v RelayInclude /t REG_SZ /d KERNEL32.FlushFileBuffers /f > /dev/null
launchers=()
for launcher in "$@"; do launchers+=("Z:${launcher//\//\\}"); done
trace=$(mktemp) out=$(mktemp)
trap 'rm -f "$trace" "$out"; "$wine_run" reg delete "$relay_key" /v RelayInclude /f > /dev/null 2>&1 || true' EXIT
status=0
VESKAR_WINEDEBUG=-all,+file,+relay timeout $((240 * scale)) "$wine_run" "$tests" --helper long_paths "${launchers[@]}" \
  > "$out" 2> "$trace" || status=$?
cat "$out"
[ "$status" = 0 ] || { echo "FAIL: a launcher with a long TEMP did not run or left a per-run tree ($status)"; exit 1; }
python3 - "$trace" "$(sed -n 's/^reused files: //p' "$out")" <<'PY'
import re, sys
lines = open(sys.argv[1], encoding="utf-8", errors="replace").read().splitlines()
reused_files = int(sys.argv[2].strip() or 0)
flushes = sum("Call KERNEL32.FlushFileBuffers(" in line for line in lines)
# The trace escapes each string and cuts a long one with '"...'.
paths = [(re.sub(r"\\x([0-9a-f]{4})|\\(.)", lambda m: chr(int(m[1], 16)) if m[1] else m[2], m[1]), m[2] is not None)
         for m in (re.search(r'RtlDosPathNameToNtPathName_U_WithStatus \(L"((?:[^"\\]|\\.)*)"(\.\.\.)?', line)
                   for line in lines) if m]
long = [path for path, cut in paths if cut or len(path) >= 260]
plain = sorted({path[:120] for path in long if not path.startswith("\\\\?\\")})
print(f"long paths traced: {len(long)}, plain: {len(plain)}; flushes: {flushes}, reused files: {reused_files}")
for path in plain:
    print("FAIL: a plain path past the limit: " + path + "...")
if not long:
    print("FAIL: no long path was traced at all")
if flushes == 0 or flushes != reused_files:
    print("FAIL: a reusing first start flushes each file of its tree, and nothing else is flushed")
sys.exit(1 if plain or not long or flushes == 0 or flushes != reused_files else 0)
PY
