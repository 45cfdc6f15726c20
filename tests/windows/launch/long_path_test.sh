#!/usr/bin/env bash
# Windows refuses every plain path of 260 units or more unless long paths
# are enabled for the whole machine; Wine takes any length. Wine's file
# trace shows each Win32 path it converts: launchers run with a TEMP so deep
# that all they make is past the limit, and a plain path of that length in
# the trace fails the test. Wine's call trace, kept to the one function,
# shows each flush: no start flushes, a reusing first start included (its
# files carry the boot's stamp instead).
#
#   long_path_test.sh WINE_RUN LAUNCH_TESTS_EXE REUSED_APP_FOLDER LAUNCHER...
# (REUSED_APP_FOLDER: the folder the one reusing launcher was packed from)
set -euo pipefail
wine_run=$1 tests=$2 reused_files=$(find "$3" -type f | wc -l)
shift 3
scale=${VESKAR_TEST_TIMEOUT_SCALE:-1}
# The server and the prefix's services come up untraced: they would log
# into the trace for as long as they run.
"$wine_run" "$tests" --helper process_alive 0 > /dev/null || true
relay_key='HKCU\Software\Wine\Debug'
"$wine_run" reg add "$relay_key" /v RelayInclude /t REG_SZ /d KERNEL32.FlushFileBuffers /f > /dev/null
launchers=()
for launcher in "$@"; do launchers+=("Z:${launcher//\//\\}"); done
trace=$(mktemp)
trap 'rm -f "$trace"; "$wine_run" reg delete "$relay_key" /v RelayInclude /f > /dev/null 2>&1 || true' EXIT
run_traced() {
  status=0
  VESKAR_WINEDEBUG=-all,+file,+relay timeout $((240 * scale)) "$wine_run" "$tests" --helper long_paths "${launchers[@]}" \
    2> "$trace" || status=$?
}
run_traced
# Once seen on a loaded machine: the traced run ended within a second with
# status 1 before it had started a launcher (no "did not run" line), and
# passed when run again. What it left is shown; a second failure fails.
if [ "$status" != 0 ]; then
  echo "the traced run ended with status $status; the end of its trace:"
  grep -v -e ':Call ' -e ':Ret ' "$trace" | tail -n 15 || true
  run_traced
fi
[ "$status" = 0 ] || { echo "FAIL: a launcher with a long TEMP did not run its application ($status)"; exit 1; }
python3 - "$trace" "$reused_files" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
flushes, reused_files = text.count("Call KERNEL32.FlushFileBuffers("), int(sys.argv[2])
# The trace escapes each string and cuts a long one with '"...'.
unescape = lambda m: chr(int(m[1], 16)) if m[1] else m[2]
long = [path for path, cut in ((re.sub(r"\\x([0-9a-f]{4})|\\(.)", unescape, m[1]), m[2])
                               for m in re.finditer(r'RtlDosPathNameToNtPathName_U_WithStatus \(L"((?:[^"\\]|\\.)*)"(\.\.\.)?', text))
        if cut or len(path) >= 260]
plain = sorted({path[:120] for path in long if not path.startswith("\\\\?\\")})
print(f"long paths traced: {len(long)}, plain: {len(plain)}; flushes: {flushes}, reused files: {reused_files}")
failures = ["a plain path past the limit: " + path + "..." for path in plain]
failures += [] if long else ["no long path was traced at all"]
failures += [] if flushes == 0 and reused_files > 0 else ["nothing is flushed, a reusing first start's tree included"]
print("".join("FAIL: " + failure + "\n" for failure in failures), end="")
sys.exit(1 if failures else 0)
PY
