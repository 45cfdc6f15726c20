#!/usr/bin/env bash
# veskar-pack.exe under Wine against the Linux veskar-pack:
#
#   packer_exe_test.sh WINE_RUN PACK_EXE LINUX_PACK HELLO_APP_FOLDER PE_VERDICT
#
# The example's folder, copied under a non-ASCII name and given a file with a
# non-ASCII name, is packed by both packers with the same options: the two
# launchers must be byte-identical, the launcher must run the application,
# and list and extract under Wine must show and write the non-ASCII names.
# Then trees with paths of 300, 1,000 and 4,000 units, packed alike and
# extracted; libraries that cannot work, refused alike and as pefile
# (PE_VERDICT) judges them; the closing summary line; and at a console, the
# progress line and Ctrl+C. All paths given to the Windows program are
# relative, as on Windows.
set -euo pipefail
wine_run=$1 pack_exe=$2 linux_pack=$3 app=$4 pe_verdict=$5
scale=${VESKAR_TEST_TIMEOUT_SCALE:-1}
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

# --- A program entry (a launcher with version information of its own) with
# fixed arguments: packed alike, its identity taken on both.
mkdir program
cp "hello ☃.exe" "program/tool ☃.exe"
printf 'data\n' > program/data.txt
program_options=(--dir program --app-exe "tool ☃.exe" --app-arg '{APP_DIR}\data.txt' --app-arg "naïve ☃"
                 --app-arg= --level 3 --quiet)
"$wine_run" "$pack_exe" build "${program_options[@]}" -o program-windows.exe > build.out 2>&1 ||
  fail "veskar-pack.exe build --app-exe failed: $(cat build.out)"
"$linux_pack" build "${program_options[@]}" -o program-linux.exe
cmp program-windows.exe program-linux.exe > /dev/null || fail "the program launchers packed on Windows and on Linux differ"
"$linux_pack" list program-linux.exe > list.out
for text in 'entry: program tool ☃.exe' '"{APP_DIR}\data.txt"' '"naïve ☃"' 'ProductName: Hello ☃'; do
  grep -qF "$text" list.out || fail "list of the program launcher does not show '$text': $(cat list.out)"
done

# --- Long paths: as the launcher writes them, past MAX_PATH. Record names
# stay within 1023 units, so the 4,000-unit paths come from a deep folder.
pad() { head -c "$1" /dev/zero | tr '\0' "$2"; }
long_path() {  # a relative path of exactly $1 units, in components of 200
  local path="" i=0
  while [ $((${#path} + 201)) -lt "$1" ]; do
    path+="d$i$(pad $((199 - ${#i})) x)/"
    i=$((i + 1))
  done
  printf '%sf%s' "$path" "$(pad $(($1 - ${#path} - 1)) y)"
}
mkdir -p long
cp "$app/hello.dll" long/
for length in 300 1000; do
  file="long/$(long_path $((length - 5)))"
  mkdir -p "$(dirname "$file")" && echo "$length" > "$file"
done
deep=$(dirname "$(long_path 3100)")
mkdir -p "$deep/app" && cp "$app/hello.dll" "$deep/app/"
file="$deep/app/$(long_path $((4000 - ${#deep} - 5)))"
mkdir -p "$(dirname "$file")" && echo 4000 > "$file"
for tree in long "$deep/app"; do
  if ! "$wine_run" "$pack_exe" build --dir "$tree" --app-library hello.dll --level 3 -q -o long-windows.exe \
       > long.out 2>&1; then
    fail "veskar-pack.exe cannot pack $tree: $(cat long.out)"
    continue
  fi
  "$linux_pack" build --dir "$tree" --app-library hello.dll --level 3 -q -o long-linux.exe
  cmp long-windows.exe long-linux.exe > /dev/null || fail "the launchers of the long-path tree differ"
  into="$(dirname "$tree")/out"
  "$wine_run" "$pack_exe" extract long-windows.exe "$into" > long.out 2>&1 || fail "extract failed: $(cat long.out)"
  diff -r "$tree" "$into" > /dev/null || fail "the long-path tree extracted differs from the one packed"
done

# --- Libraries that cannot work: both packers refuse them with the same
# line, naming what pefile, a reader sharing no code with them, finds wrong.
mkdir -p libs
cp "$app/hello_greeting.dll" libs/
cp "$pack_exe" libs/program.exe
printf 'notes\n' > libs/notes.txt
for library in hello_greeting.dll program.exe notes.txt; do
  verdict=$(/usr/bin/python3 "$pe_verdict" "libs/$library")
  windows=$("$wine_run" "$pack_exe" build --dir libs --app-library "$library" -o refused.exe 2>&1) &&
    fail "veskar-pack.exe packed $library"
  linux=$("$linux_pack" build --dir libs --app-library "$library" -o refused.exe 2>&1) &&
    fail "veskar-pack packed $library"
  windows=$(printf %s "$windows" | tr -d '\r' | tr '\\' /)
  [ "$windows" = "$linux" ] || fail "the packers refuse $library differently: '$windows' and '$linux'"
  case "$linux" in
    "veskar-pack: application library 'libs/$library' $verdict"* | \
    "veskar-pack: application library 'libs/$library' is $verdict"*) ;;
    *) fail "'$linux' is not pefile's verdict on $library: $verdict" ;;
  esac
done
[ ! -e refused.exe ] || fail "a refused library left a launcher"

# --- The line saying what was made: the same on both packers but the time.
"$wine_run" "$pack_exe" build --dir "$folder" --app-library hello.dll --level 3 -o made.exe > made.windows 2>&1 ||
  fail "veskar-pack.exe build failed: $(cat made.windows)"
"$linux_pack" build --dir "$folder" --app-library hello.dll --level 3 -o made.exe > made.linux 2>&1
summary() { tr -d '\r' < "$1" | sed -E 's/ in [0-9]+\.[0-9] s$//'; }
[ "$(summary made.windows)" = "$(summary made.linux)" ] ||
  fail "the summaries differ: $(cat made.windows) / $(cat made.linux)"
grep -qE "^packed [0-9]+ files, [0-9.]+ (kB|MB), into 'made.exe': [0-9.]+ (kB|MB) \([0-9.]+% of the files\) in [0-9.]+ s$" made.linux ||
  fail "unexpected summary: $(cat made.linux)"

wrestool -x --raw -t 24 "$pack_exe" | grep -q '<longPathAware[^>]*>true</longPathAware>' ||
  fail "veskar-pack.exe's manifest does not declare longPathAware"

# --- At a console (a pseudo-terminal, where Wine gives a program one): the
# progress line appears, and Ctrl+C (SIGINT to the Wine process) stops the
# build at once, leaving neither the launcher nor its temporary file.
mkdir -p big
cp "$app/hello.dll" big/
seq 1 6000000 > big/numbers.txt
printf 'echo $$ > pid\nexec %q %q build --dir big --app-library hello.dll --level 19 --threads 1 -o big.exe\n' \
  "$wine_run" "$pack_exe" > console.sh
script -qfec "sh console.sh" console.typescript > /dev/null 2>&1 &
script_pid=$!
# Wine draws the console on the terminal with escape sequences, and blanks
# as cursor moves: what it shows, without either.
shown() { sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' console.typescript 2> /dev/null | tr -d ' \r\n'; }
for ((i = 0; i < 600 * scale; i++)); do
  shown | grep -q 'compressing[0-9.]*of[0-9.]*MB' && ls big.exe.*.partial > /dev/null 2>&1 && break
  sleep 0.1
done
shown | grep -q 'compressing[0-9.]*of[0-9.]*MB' || fail "no progress line on the console: $(shown)"
ls big.exe.*.partial > /dev/null 2>&1 || fail "the build never started writing"
kill -INT "$(cat pid)"
for ((i = 0; i < 600 * scale; i++)); do kill -0 "$script_pid" 2> /dev/null || break; sleep 0.1; done
if kill -0 "$script_pid" 2> /dev/null; then
  fail "veskar-pack.exe did not stop on Ctrl+C"
  kill "$(cat pid)" "$script_pid" 2> /dev/null || true
fi
wait "$script_pid" 2> /dev/null || true
shown | grep -q 'interrupted:stoppedwithoutwritingalauncher' || fail "no word of the interruption: $(shown)"
# The temporary file goes as the process ends, once its handle is closed:
# Wine's server closes it a moment after the process is seen to end.
for ((i = 0; i < 50 * scale; i++)); do [ -z "$(ls big.exe* 2> /dev/null)" ] && break; sleep 0.1; done
[ -z "$(ls big.exe* 2> /dev/null)" ] || fail "an interrupted build left $(ls big.exe*)"

[ "$failures" = 0 ] && echo "veskar-pack.exe: all checks passed"
exit $((failures > 0))
