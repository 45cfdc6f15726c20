#!/usr/bin/env bash
# Benchmarks of the launcher under Wine, each measured side by side with what
# it is judged against in the same run; prints a table of medians and ratios
# and writes it, with a chart, to bench/results/.
#
#   bench/run.sh [--smoke] [--runs N] [--pack-runs N] [--level N] [--threads N]
#                [--host-build DIR] [--windows-build DIR] [--stage DIR]
#
# --smoke runs every measurement once on the tiny payload only, writes its
# table into the work folder instead of bench/results/, and fails only when a
# measurement cannot be made (never on a missed target).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

smoke=0 runs=5 pack_runs=5 level="" threads=2 seed=1
host_build=build/host windows_build=build/windows stage=build/stage
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1 ;;
    --runs) runs=$2; shift ;;
    --pack-runs) pack_runs=$2; shift ;;
    --level) level=$2; shift ;;
    --threads) threads=$2; shift ;;
    --host-build) host_build=$2; shift ;;
    --windows-build) windows_build=$2; shift ;;
    --stage) stage=$2; shift ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
if [ $smoke = 1 ]; then runs=1 pack_runs=1; fi
absolute() { mkdir -p "$1" && (cd "$1" && pwd); }
host_build=$(absolute "$host_build")
windows_build=$(absolute "$windows_build")
stage=$(absolute "$stage")
pack="$stage/bin/veskar-pack"
work="$windows_build/bench-work"
mkdir -p "$work"
[ -x "$pack" ] || { echo "run.sh: $pack not found: build the host preset first" >&2; exit 1; }

# The Windows programs: the folder may have been configured before bench/
# existed, so configure it again before building them.
cmake "$windows_build" >/dev/null
cmake --build "$windows_build" -j2 --target bench_app bench_host bench_runner >/dev/null
programs="$windows_build/bench"
generator="$work/payload_generator"
if [ ! -x "$generator" ] || [ "$root/bench/payload_generator.cpp" -nt "$generator" ]; then
  g++ -O2 -std=c++17 -o "$generator" "$root/bench/payload_generator.cpp"
fi

# A Wine prefix of its own keeps other Wine users' servers out of the timings.
export VESKAR_WINEPREFIX="${VESKAR_WINEPREFIX:-$work/wineprefix}"
wine_run() { "$root/cmake/wine-run.sh" "$@"; }
windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }
runner="$(windows_path "$programs/bench_runner.exe")"
now_ns() { date +%s%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1; print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
value() { tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p"; }

# Level and threads: the packer's defaults unless given, passed explicitly to
# both sides of the packing comparison.
if [ -z "$level" ]; then
  level=$("$pack" build --help | sed -n 's/.*--level [^=]*=\([0-9][0-9]*\).*/\1/p' | head -1)
  [ -n "$level" ] || level=19
fi

# Payloads. The tiny one is the application library with two small files;
# the reference one comes from the seeded generator, the library first.
tiny="$work/tiny"
rm -rf "$tiny" && mkdir -p "$tiny/data"
cp "$programs/bench_app.dll" "$tiny/"
echo "Benchmark application" > "$tiny/README.txt"
echo '{"greeting": "hello"}' > "$tiny/data/settings.json"
payloads=(tiny)
if [ $smoke = 0 ]; then
  reference="$work/reference"
  stamp="seed=$seed $(sha256sum "$root/bench/payload_generator.cpp" | cut -c1-16)"
  if [ "$(cat "$reference.stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$reference" && "$generator" --seed "$seed" --out "$reference" >/dev/null
    echo "$stamp" > "$reference.stamp"
  fi
  cp "$programs/bench_app.dll" "$reference/"
  payloads=(reference)
fi
main=${payloads[0]}
main_dir="$work/$main"
echo "bench: payload $main: $(find "$main_dir" -type f | wc -l) files, $(du -sb "$main_dir" | cut -f1) bytes; level $level, $threads threads; $runs runs" >&2

# Packing, interleaved: veskar-pack, then tar into the zstd command line.
pack_times=() zstd_times=()
for ((i = 0; i < pack_runs; i++)); do
  t0=$(now_ns)
  "$pack" build --quiet --dir "$main_dir" --app-library bench_app.dll -o "$work/$main.exe" --level "$level" --threads "$threads"
  t1=$(now_ns)
  tar -C "$main_dir" -cf - . | zstd -q -"$level" -T"$threads" -c > "$work/$main.tar.zst"
  t2=$(now_ns)
  pack_times+=($(( (t1 - t0) / 1000 ))) zstd_times+=($(( (t2 - t1) / 1000 )))
done
[ -s "$work/$main.exe" ] && [ -s "$work/$main.tar.zst" ]
x86_64-w64-mingw32-objcopy -O binary --only-section=.veskar "$work/$main.exe" "$work/$main.attached"
attached_size=$(stat -c %s "$work/$main.attached")
zstd_size=$(stat -c %s "$work/$main.tar.zst")

# The peer: an NSIS self-extractor of the same tree (64-bit stub, solid LZMA)
# that unpacks into its temporary folder, runs the library through the plain
# host, waits, and deletes the folder.
cp "$programs/bench_host.exe" "$work/bench_host.exe"
cat > "$work/$main.nsi" <<NSI
Unicode true
Target amd64-unicode
SetCompressor /SOLID /FINAL lzma
Name "bench peer"
OutFile "$main-peer.exe"
RequestExecutionLevel user
SilentInstall silent
Section
  InitPluginsDir
  SetOutPath "\$PLUGINSDIR"
  File "bench_host.exe"
  SetOutPath "\$PLUGINSDIR\\app"
  File /r "$main\\*.*"
  ExecWait '"\$PLUGINSDIR\\bench_host.exe" "\$PLUGINSDIR\\app\\bench_app.dll"' \$0
  SetOutPath "\$TEMP"
  RMDir /r "\$PLUGINSDIR\\app"
  SetErrorLevel \$0
SectionEnd
NSI
(cd "$work" && makensis -V1 "$main.nsi" >/dev/null)
peer_size=$(stat -c %s "$work/$main-peer.exe")
launcher_size=$(stat -c %s "$work/$main.exe")

ours="$(windows_path "$work/$main.exe")"
peer="$(windows_path "$work/$main-peer.exe")"
host="$(windows_path "$programs/bench_host.exe")"
library="$(windows_path "$programs/bench_app.dll")"
attached="$(windows_path "$work/$main.attached")"
if [ $smoke = 0 ]; then
  "$pack" build --quiet --dir "$tiny" --app-library bench_app.dll -o "$work/tiny.exe" --level "$level" --threads "$threads"
fi
tiny_exe="$(windows_path "$work/tiny.exe")"

launch() { local line; line=$(wine_run "$runner" launch "$@" | tr -d '\r') || { echo "run.sh: launch $* failed: $line" >&2; exit 1; }; echo "$line"; }
ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1000 }'; }

# Warm-up: the first start of each program fills Wine's caches.
launch "$ours" >/dev/null; launch "$peer" >/dev/null; launch "$tiny_exe" >/dev/null
launch "$host" --twice "$library" >/dev/null; launch "$host" "$library" >/dev/null

declare -A samples
add() { samples[$1]+="$2 "; }
for ((i = 0; i < runs; i++)); do
  l=$(launch "$ours")
  add ours_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
  add ours_total "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
  add ours_after_app "$(ms "$(value app_us "$l")" "$(value end_us "$l")")"
  l=$(wine_run "$runner" limit "$attached" | tr -d '\r')
  add decode "$(ms 0 "$(value decode_us "$l")")"
  add write "$(ms 0 "$(value write_us "$l")")"
  add removal "$(ms 0 "$(value removal_us "$l")")"
  add limit "$(ms 0 $(( $(value decode_us "$l") + $(value write_us "$l") )))"
  l=$(launch "$peer")
  add peer_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
  add peer_total "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
  l=$(launch "$tiny_exe")
  add tiny_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
  add tiny_total "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
  add tiny_after_app "$(ms "$(value app_us "$l")" "$(value end_us "$l")")"
  l=$(launch "$host" --twice "$library")
  add floor_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
  add floor_total "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
  l=$(launch "$host" "$library")
  add single_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
  add single_total "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
done
# Memory: the largest of the runs, in MiB. The parent is sampled by the
# runner while it runs; the child reports its own peak at run_code.
for ((i = 0; i < (runs < 3 ? runs : 3); i++)); do
  l=$(launch --memory "$ours")
  add parent_private "$(awk -v v="$(value parent_peak_private "$l")" 'BEGIN { printf "%.1f", v / 1048576 }')"
  add parent_ws "$(awk -v v="$(value parent_peak_working_set "$l")" 'BEGIN { printf "%.1f", v / 1048576 }')"
  add child_private "$(awk -v v="$(value app_peak_private "$l")" 'BEGIN { printf "%.1f", v / 1048576 }')"
  add child_ws "$(awk -v v="$(value app_peak_working_set "$l")" 'BEGIN { printf "%.1f", v / 1048576 }')"
  l=$(launch --memory "$host" --twice "$library")
  add floor_parent_private "$(awk -v v="$(value parent_peak_private "$l")" 'BEGIN { printf "%.1f", v / 1048576 }')"
  add floor_child_private "$(awk -v v="$(value app_peak_private "$l")" 'BEGIN { printf "%.1f", v / 1048576 }')"
done
pack_ms=$(printf '%s\n' "${pack_times[@]}" | median | awk '{ printf "%.1f", $1 / 1000 }')
zstd_ms=$(printf '%s\n' "${zstd_times[@]}" | median | awk '{ printf "%.1f", $1 / 1000 }')

m() { tr ' ' '\n' <<<"${samples[$1]}" | grep . | median; }
maxof() { tr ' ' '\n' <<<"${samples[$1]}" | grep . | sort -g | tail -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }

# The table: what was measured, what it is judged against, the ratio and the
# target; "ours / other" throughout, so lower is better.
results="$root/bench/results"
[ $smoke = 1 ] && results="$work/results"
mkdir -p "$results"
table="$results/results.md"
data="$results/ratios.dat"
{
  echo "| Measurement | Ours | Against | Ratio (ours/against) | Target |"
  echo "|---|---|---|---|---|"
} > "$table"
: > "$data"
row() {  # label, ours, unit, against label, against value, target (max ratio or -), chart label
  local r; r=$(ratio "$2" "$5")
  local verdict="$6"
  if [ "$6" != "-" ]; then
    verdict=$(awk -v r="$r" -v t="$6" 'BEGIN { print (r <= t) ? "<= " t " met" : "<= " t " MISSED" }')
    echo "\"$7\" $r $6" >> "$data"
  fi
  echo "| $1 | $2 $3 | $4: $5 $3 | $r | $verdict |" >> "$table"
}
row "Unpack: start to run_code ($main)" "$(m ours_to_app)" ms "decode $(m decode) + write $(m write)" "$(m limit)" 1.15 "unpack vs limit"
row "Peer: start to application ($main)" "$(m ours_to_app)" ms "NSIS solid LZMA" "$(m peer_to_app)" 0.33 "vs NSIS (start)"
row "Peer: start to exit ($main)" "$(m ours_total)" ms "NSIS solid LZMA" "$(m peer_total)" - ""
row "Cleanup: after run_code to exit ($main)" "$(m ours_after_app)" ms "our start to exit" "$(m ours_total)" - ""
row "Cleanup: shell removal of the same tree" "$(m removal)" ms "our start to exit" "$(m ours_total)" - ""
row "Tiny: start to run_code" "$(m tiny_to_app)" ms "two-process floor" "$(m floor_to_app)" 1.25 "tiny vs floor"
row "Tiny: start to exit" "$(m tiny_total)" ms "two-process floor" "$(m floor_total)" - ""
row "Tiny: start to run_code" "$(m tiny_to_app)" ms "single plain executable" "$(m single_to_app)" - ""
row "Tiny: start to exit" "$(m tiny_total)" ms "single plain executable" "$(m single_total)" - ""
row "Packing time ($main)" "$pack_ms" ms "tar piped to zstd -$level -T$threads" "$zstd_ms" 1.10 "pack time"
row "Archive size ($main)" "$attached_size" bytes "tar piped to zstd -$level -T$threads" "$zstd_size" 1.02 "pack size"
row "Launcher size ($main)" "$launcher_size" bytes "NSIS solid LZMA exe" "$peer_size" - ""
row "Parent peak private memory ($main)" "$(maxof parent_private)" MiB "limit" 32 1.00 "parent memory"
row "Child peak private memory ($main)" "$(maxof child_private)" MiB "limit" 32 1.00 "child memory"
row "Parent peak working set ($main)" "$(maxof parent_ws)" MiB "limit" 32 - ""
row "Child peak working set ($main)" "$(maxof child_ws)" MiB "limit" 32 - ""
row "Floor parent / child peak private" "$(maxof floor_parent_private) / $(maxof floor_child_private)" MiB "limit" 32 - ""
{
  echo
  echo "Medians of $runs runs (packing: $pack_runs), all under Wine in one run; payload $main:" \
       "$(find "$main_dir" -type f | wc -l) files, $(du -sb "$main_dir" | cut -f1) bytes; zstd level $level, $threads threads."
  echo "Machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(free -h | awk '/^Mem:/ { print $2 }') memory; $(wine --version 2>/dev/null)."
  echo "Unpacking limit parts: decode $(m decode) ms, write $(m write) ms."
} >> "$table"
cat "$table"

if command -v gnuplot >/dev/null && [ -s "$data" ]; then
  gnuplot <<GP
set terminal pngcairo size 900,480 noenhanced
set output "$results/ratios.png"
set title "Veskar Onefile under Wine: ours / comparison (lower is better)"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set yrange [0:*]
set grid ytics
set xtics rotate by -20
plot "$data" using 2:xtic(1) title "measured" lc rgb "#3070b0", \
     "" using 3 title "target (at most)" lc rgb "#c0c0c0"
GP
fi
echo "bench: table and chart in $results" >&2
