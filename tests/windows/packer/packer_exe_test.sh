#!/usr/bin/env bash
# veskar-pack.exe under Wine against the Linux veskar-pack:
#
#   packer_exe_test.sh WINE_RUN PACK_EXE LINUX_PACK HELLO_APP_FOLDER
#
# The example's folder, copied under a non-ASCII name and given a file with a
# non-ASCII name, is packed by both packers with the same options: the two
# launchers must be byte-identical, the launcher must run the application,
# and list and extract under Wine must show and write the non-ASCII names.
# All paths given to the Windows program are relative, as on Windows.
set -euo pipefail
wine_run=$1 pack_exe=$2 linux_pack=$3 app=$4
scratch=$(mktemp -d -t veskar-pack-exe.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

folder="app ☃ naïve"
cp -a "$app" "$scratch/$folder"
printf 'snow\n' > "$scratch/$folder/data/Schnee ☃ ü.txt"
cd "$scratch"
options=(--dir "$folder" --app-library hello.dll --level 3 --quiet
         --version-info "ProductName=Hello ☃" --version-info FileVersion=1.2.3)

if ! "$wine_run" "$pack_exe" build "${options[@]}" -o "hello ☃.exe" > build.out 2>&1; then
  fail "veskar-pack.exe build failed: $(cat build.out)"
fi
"$linux_pack" build "${options[@]}" -o linux.exe
cmp "hello ☃.exe" linux.exe > /dev/null || fail "the launchers packed on Windows and on Linux differ"
# With --reuse the notes carry the archive identity, hashed by each system's own SHA-256.
mkdir on-windows on-linux
"$wine_run" "$pack_exe" build "${options[@]}" --reuse -o "on-windows/kept ☃.exe" > build.out 2>&1 ||
  fail "veskar-pack.exe build --reuse failed: $(cat build.out)"
"$linux_pack" build "${options[@]}" --reuse -o "on-linux/kept ☃.exe"
cmp "on-windows/kept ☃.exe" "on-linux/kept ☃.exe" > /dev/null || fail "the reusing launchers packed on Windows and on Linux differ"
leftovers=$(find . -name '*.partial')
[ -z "$leftovers" ] || fail "temporary files left: $leftovers"

status=0
"$wine_run" "hello ☃.exe" "naïve ☃" --exit 7 > run.out 2> run.err || status=$?
[ "$status" = 7 ] || fail "the launcher ended with status $status, not 7"
for line in 'argv[1] = [naïve ☃]' 'hello_greeting.dll = [Hello from hello_greeting.dll]' 'hello: returning 7'; do
  grep -qF "$line" run.out || fail "the application's output lacks '$line': $(cat run.out)"
done
[ ! -s run.err ] || fail "the launcher wrote to stderr: $(cat run.err)"

"$wine_run" "$pack_exe" list "hello ☃.exe" > list.out 2>&1 || fail "list failed: $(cat list.out)"
for text in 'data\Schnee ☃ ü.txt' 'Hello ☃' '1.2.3'; do
  grep -qF "$text" list.out || fail "list does not show '$text': $(cat list.out)"
done
"$wine_run" "$pack_exe" extract "hello ☃.exe" "out ☃" > extract.out 2>&1 || fail "extract failed: $(cat extract.out)"
diff -r "$folder" "out ☃" > /dev/null || fail "the extracted tree differs from the packed folder"

[ "$failures" = 0 ] && echo "veskar-pack.exe: all checks passed"
exit $((failures > 0))
