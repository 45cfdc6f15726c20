#!/usr/bin/env bash
# Benchmarks of the launcher under Wine, each measured side by side with what
# it is judged against in the same run; prints a table of medians and ratios
# and writes it, with charts, to bench/results/.
#
#   bench/run.sh [--smoke] [--runs N] [--sweep-runs N] [--pack-runs N]
#                [--level N] [--threads N] [--readme]
#                [--host-build DIR] [--windows-build DIR] [--stage DIR]
#
# Payloads: a tiny application, and the seeded generator at three sizes
# (about 60, 240 and 960 MB unpacked, files growing with the bytes); the
# middle one is the reference payload, measured --runs times against its
# physical limits, NSIS and the packing peer; the other two --sweep-runs
# times for cost against size.
#
# --smoke runs every measurement once on tiny payloads, writes its tables
# into the work folder instead of bench/results/, and fails only when a
# measurement cannot be made (never on a missed target).
# --readme also copies summary.md into README.md and results.md into
# docs/performance.md, each between its two marker lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

smoke=0 runs=5 sweep_runs=3 pack_runs=5 level="" threads=2 seed=1 readme=0
host_build=build/host windows_build=build/windows stage=build/stage
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1 ;;
    --runs) runs=$2; shift ;;
    --sweep-runs) sweep_runs=$2; shift ;;
    --pack-runs) pack_runs=$2; shift ;;
    --level) level=$2; shift ;;
    --threads) threads=$2; shift ;;
    --readme) readme=1 ;;
    --host-build) host_build=$2; shift ;;
    --windows-build) windows_build=$2; shift ;;
    --stage) stage=$2; shift ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
if [ $smoke = 1 ]; then runs=1 sweep_runs=1 pack_runs=1 readme=0; fi
absolute() { mkdir -p "$1" && (cd "$1" && pwd); }
host_build=$(absolute "$host_build")
windows_build=$(absolute "$windows_build")
stage=$(absolute "$stage")
pack="$stage/bin/veskar-pack"
work="$windows_build/bench-work"
mkdir -p "$work"
[ -x "$pack" ] || { echo "run.sh: $pack not found: build the host preset first" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "run.sh: /usr/bin/time is missing: run scripts/setup.sh" >&2; exit 1; }

# The Windows programs: the folder may have been configured before bench/
# existed, so configure it again before building them.
cmake "$windows_build" >/dev/null
cmake --build "$windows_build" -j2 --target bench_app bench_entry bench_host bench_runner >/dev/null
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
# A key missing from a line gives no sample at all, never a zero.
ms() { [ -n "$1" ] && [ -n "$2" ] || return 0; awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1000 }'; }
mib() { awk -v v="$1" 'BEGIN { printf "%.1f", v / 1048576 }'; }

# Level and threads: the packer's defaults unless given, passed explicitly to
# both sides of the packing comparison.
if [ -z "$level" ]; then
  level=$("$pack" build --help | sed -n 's/.*--level [^=]*=\([0-9][0-9]*\).*/\1/p' | head -1)
  [ -n "$level" ] || level=19
fi

# Payloads. The tiny one is the application library with two small files;
# the others come from the seeded generator, the library added first in
# name order. The generator's unit is 222 MB (about 232 MB with the copies).
tiny="$work/tiny"
rm -rf "$tiny" && mkdir -p "$tiny/data"
cp "$programs/bench_app.dll" "$tiny/"
echo "Benchmark application" > "$tiny/README.txt"
echo '{"greeting": "hello"}' > "$tiny/data/settings.json"
sizes=(small reference large)
declare -A megabytes=([small]=55.5 [reference]=222 [large]=888)
[ $smoke = 1 ] && megabytes=([small]=0.5 [reference]=1 [large]=2)
[ $smoke = 1 ] && work_suffix=-smoke || work_suffix=""
declare -A dir files bytes
for s in "${sizes[@]}"; do
  dir[$s]="$work/$s$work_suffix"
  stamp="seed=$seed megabytes=${megabytes[$s]} $(sha256sum "$root/bench/payload_generator.cpp" | cut -c1-16)"
  if [ "$(cat "${dir[$s]}.stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "${dir[$s]}" && "$generator" --seed "$seed" --megabytes "${megabytes[$s]}" --out "${dir[$s]}" >/dev/null
    echo "$stamp" > "${dir[$s]}.stamp"
  fi
  cp "$programs/bench_app.dll" "${dir[$s]}/"
  files[$s]=$(find "${dir[$s]}" -type f | wc -l)
  bytes[$s]=$(du -sb "${dir[$s]}" | cut -f1)
  echo "bench: payload $s: ${files[$s]} files, ${bytes[$s]} bytes" >&2
done
main=reference
main_dir="${dir[$main]}"
echo "bench: level $level, $threads threads; $runs runs on $main, $sweep_runs on the other sizes" >&2

declare -A samples
add() { samples[$1]+="$2 "; }
m() { tr ' ' '\n' <<<"${samples[$1]}" | grep . | median; }
maxof() { tr ' ' '\n' <<<"${samples[$1]}" | grep . | sort -g | tail -1; }
count_for() { [ "$1" = "$main" ] && echo "$runs" || echo "$sweep_runs"; }

# Packing: veskar-pack at every size, with its peak resident memory,
# interleaved with tar piped into the zstd command line at the same level
# and thread count: what zstd itself needs for the same bytes.
peak_kib() { sed -n 's/^peak_kib=//p' "$1"; }
for s in "${sizes[@]}"; do
  n=$sweep_runs
  [ $s = $main ] && n=$pack_runs
  for ((i = 0; i < n; i++)); do
    t0=$(now_ns)
    /usr/bin/time -f 'peak_kib=%M' -o "$work/pack.time" \
      "$pack" build --quiet --dir "${dir[$s]}" --app-library bench_app.dll -o "$work/$s.exe" --level "$level" --threads "$threads"
    t1=$(now_ns)
    add "pack:$s" "$(ms 0 $(( (t1 - t0) / 1000 )))"
    add "pack_peak:$s" "$(awk -v k="$(peak_kib "$work/pack.time")" 'BEGIN { printf "%.1f", k / 1024 }')"
    tar -C "${dir[$s]}" -cf - . | /usr/bin/time -f 'peak_kib=%M' -o "$work/zstd.time" \
      zstd -q -"$level" -T"$threads" -c > "$work/$s.tar.zst"
    t2=$(now_ns)
    add "zstd_pack:$s" "$(ms 0 $(( (t2 - t1) / 1000 )))"
    add "zstd_peak:$s" "$(awk -v k="$(peak_kib "$work/zstd.time")" 'BEGIN { printf "%.1f", k / 1024 }')"
  done
  [ -s "$work/$s.exe" ] && [ -s "$work/$s.tar.zst" ]
done
[ -s "$work/$main.tar.zst" ]
# The same archive with the one-thread loop, for the writer pool's gain.
"$pack" build --quiet --dir "$main_dir" --app-library bench_app.dll -o "$work/$main-one.exe" --level "$level" \
  --threads "$threads" --unpack-threads 1
# And without progress: the window a GUI launcher shows after a second
# loads the system's window and COM libraries, measured apart.
"$pack" build --quiet --dir "$main_dir" --app-library bench_app.dll -o "$work/$main-quiet.exe" --level "$level" \
  --threads "$threads" --no-progress
zstd_size=$(stat -c %s "$work/$main.tar.zst")
launcher_size=$(stat -c %s "$work/$main.exe")

# The peer: an NSIS self-extractor of the reference tree (64-bit stub, solid
# LZMA) that unpacks into its temporary folder, runs the library through the
# plain host, waits, and deletes the folder.
cp "$programs/bench_host.exe" "$work/bench_host.exe"
main_leaf=$(basename "$main_dir")
cat > "$work/$main_leaf.nsi" <<NSI
Unicode true
Target amd64-unicode
SetCompressor /SOLID /FINAL lzma
Name "bench peer"
OutFile "$main_leaf-peer.exe"
RequestExecutionLevel user
SilentInstall silent
Section
  InitPluginsDir
  SetOutPath "\$PLUGINSDIR"
  File "bench_host.exe"
  SetOutPath "\$PLUGINSDIR\\app"
  File /r "$main_leaf\\*.*"
  ExecWait '"\$PLUGINSDIR\\bench_host.exe" "\$PLUGINSDIR\\app\\bench_app.dll"' \$0
  SetOutPath "\$TEMP"
  RMDir /r "\$PLUGINSDIR\\app"
  SetErrorLevel \$0
SectionEnd
NSI
# Solid LZMA of the reference tree takes minutes: the peer is built again
# only when its inputs changed.
peer_stamp="$(cat "$main_dir.stamp") $(cat "$work/$main_leaf.nsi" "$work/bench_host.exe" "$programs/bench_app.dll" | sha256sum | cut -c1-16)"
if [ "$(cat "$work/$main_leaf-peer.stamp" 2>/dev/null)" != "$peer_stamp" ] || [ ! -s "$work/$main_leaf-peer.exe" ]; then
  (cd "$work" && makensis -V1 "$main_leaf.nsi" >/dev/null)
  echo "$peer_stamp" > "$work/$main_leaf-peer.stamp"
fi
peer_size=$(stat -c %s "$work/$main_leaf-peer.exe")
"$pack" build --quiet --dir "$tiny" --app-library bench_app.dll -o "$work/tiny.exe" --level "$level" --threads "$threads"
# Reusing launchers of the reference and the tiny payload, their trees kept
# in the work folder so that a first start can be had by removing them. The
# reference one is packed --pack-runs times too: the cost of the identity
# and the file list at pack time.
for ((i = 0; i < pack_runs; i++)); do
  t0=$(now_ns)
  "$pack" build --quiet --dir "$main_dir" --app-library bench_app.dll -o "$work/$main-kept.exe" --level "$level" \
    --threads "$threads" --reuse --app-id Bench.Reference --unpack-dir "{CACHE_DIR}\\VeskarBench\\$main"
  add pack_reuse "$(ms 0 $(( ($(now_ns) - t0) / 1000 )))"
done
# A new version of it with one file changed, the same application: its
# first start takes the old tree over.
rm -rf "$work/$main-v2" && cp -al "$main_dir" "$work/$main-v2"
changed=$(cd "$work/$main-v2" && find . -type f ! -name bench_app.dll -print -quit)
changed=${changed#./}
cp --remove-destination "$main_dir/$changed" "$work/$main-v2/$changed" && echo "version 2" >> "$work/$main-v2/$changed"
changed_size=$(stat -c %s "$work/$main-v2/$changed")
"$pack" build --quiet --dir "$work/$main-v2" --app-library bench_app.dll -o "$work/$main-kept-v2.exe" \
  --level "$level" --threads "$threads" --reuse --app-id Bench.Reference --unpack-dir "{CACHE_DIR}\\VeskarBench\\$main"
# The tiny one keeps its tree in TEMP, so that it sweeps the crowded TEMP
# below as a per-run launcher does; the same with a child process, as
# before the application ran in the launcher's own process.
"$pack" build --quiet --dir "$tiny" --app-library bench_app.dll -o "$work/tiny-kept.exe" --level "$level" \
  --threads "$threads" --reuse --unpack-dir "{TEMP}\\tiny_kept"
"$pack" build --quiet --dir "$tiny" --app-library bench_app.dll -o "$work/tiny-kept-child.exe" --level "$level" \
  --threads "$threads" --reuse --reuse-process child --unpack-dir "{TEMP}\\tiny_kept_child"
# Entry programs: the tiny payload and the reference one with bench_entry.exe
# as their entry, the reference one reusing its tree. The program is in the
# reference folder only while it is packed, so the other archives stay as
# they were.
cp "$programs/bench_entry.exe" "$tiny/" && cp "$programs/bench_entry.exe" "$main_dir/"
"$pack" build --quiet --dir "$tiny" --app-exe bench_entry.exe -o "$work/tiny-entry.exe" --level "$level" \
  --threads "$threads"
"$pack" build --quiet --dir "$main_dir" --app-exe bench_entry.exe -o "$work/$main-entry-kept.exe" --level "$level" \
  --threads "$threads" --reuse --unpack-dir "{CACHE_DIR}\\VeskarBench\\$main-entry"
rm "$tiny/bench_entry.exe" "$main_dir/bench_entry.exe"

peer="$(windows_path "$work/$main_leaf-peer.exe")"
host="$(windows_path "$programs/bench_host.exe")"
library="$(windows_path "$programs/bench_app.dll")"
tiny_exe="$(windows_path "$work/tiny.exe")"
launch() { local line; line=$(wine_run "$runner" launch "$@" | tr -d '\r') || { echo "run.sh: launch $* failed: $line" >&2; exit 1; }; echo "$line"; }
limit() { local line; line=$(wine_run "$runner" limit "$@" | tr -d '\r') || { echo "run.sh: limit $* failed: $line" >&2; exit 1; }; echo "$line"; }

# A crowded TEMP: 10,000 unrelated entries and 20 trees of 400 files of
# launchers that are gone, which a start sweeps while its application runs
# and stops sweeping when it ends. Made afresh from here before each such
# start and taken away after it.
temp_dir=
crowd_temp() {
  (cd "$temp_dir" && seq -f 'unrelated_%05g.tmp' 10000 | xargs touch)
  for i in $(seq 100 119); do
    for part in a b c d; do
      mkdir -p "$temp_dir/onefile_4000${i}_123456_staleTre$i/$part" && (cd "$_" && seq -f 'file_%03g' 100 | xargs touch)
    done
  done
}
stale_entries() { find "$temp_dir" -mindepth 1 -path "$temp_dir/onefile_4000*" | wc -l; }
clear_temp() { find "$temp_dir" -maxdepth 1 \( -name 'unrelated_*' -o -name 'onefile_4000*' \) -exec rm -rf {} +; }

one="$(windows_path "$work/$main-one.exe")"
# How busy the machine is without the bench: the share of all its CPU time
# spent in a few seconds in which the bench does nothing, before the
# measurements and after them. The tables say it.
quiet_window=5
[ $smoke = 1 ] && quiet_window=1
busy_share() {
  local a b
  a=$(head -1 /proc/stat); sleep "$quiet_window"; b=$(head -1 /proc/stat)
  awk -v a="$a" -v b="$b" 'BEGIN { n = split(a, x); split(b, y); total = 0
    for (i = 2; i <= n && i <= 9; i++) total += y[i] - x[i]  # guest time is already in user time
    idle = (y[5] - x[5]) + (y[6] - x[6])
    printf "%.1f", (total > 0) ? 100 * (total - idle) / total : 0 }'
}
# The commit measured, taken before the run writes its tables over the
# tracked ones.
commit=$(git -C "$root" describe --always --dirty --abbrev=7 2>/dev/null || echo '?')
busy_before=$(busy_share)
# Warm-up: the first start of each program fills Wine's caches.
for s in "${sizes[@]}"; do launch "$(windows_path "$work/$s.exe")" >/dev/null; done
launch "$one" >/dev/null
launch "$peer" >/dev/null; launch "$tiny_exe" >/dev/null
launch "$host" --twice "$library" >/dev/null; launch "$host" "$library" >/dev/null
# The prefix's TEMP, now that the prefix exists.
temp_dir=$(find "$VESKAR_WINEPREFIX/drive_c/users" -mindepth 2 -maxdepth 2 -name Temp ! -path '*/Public/*' | head -1)
[ -d "$temp_dir" ] || { echo "run.sh: no Temp folder in $VESKAR_WINEPREFIX" >&2; exit 1; }
# The reusing launchers keep their trees below the profile, whatever folder
# the checkout is in: a place below a folder others may change is not used.
kept="$(dirname "$temp_dir")/AppData/Local/VeskarBench"
clear_temp
main_kept="$(windows_path "$work/$main-kept.exe")" tiny_kept="$(windows_path "$work/tiny-kept.exe")"
main_kept_v2="$(windows_path "$work/$main-kept-v2.exe")"
tiny_kept_child="$(windows_path "$work/tiny-kept-child.exe")"
rm -rf "$kept"; launch "$main_kept" >/dev/null; launch "$tiny_kept" >/dev/null; launch "$tiny_kept_child" >/dev/null
tiny_entry="$(windows_path "$work/tiny-entry.exe")" entry_kept="$(windows_path "$work/$main-entry-kept.exe")"
entry_alone="$(windows_path "$programs/bench_entry.exe")"
launch "$tiny_entry" >/dev/null; launch "$entry_kept" >/dev/null; launch "$entry_alone" >/dev/null
# The reusing launcher's entry where it runs it: started directly from the tree.
entry_in_tree="$(windows_path "$(ls -d "$kept/$main-entry"_* | head -1)/bench_entry.exe")"
launch "$entry_in_tree" >/dev/null

# One launch of ours and one of the limits, then the others, in turn; the
# limit's shell removal only on the reference payload.
for s in "${sizes[@]}"; do
  ours="$(windows_path "$work/$s.exe")"
  for ((i = 0; i < $(count_for $s); i++)); do
    l=$(launch "$ours")
    add "to_app:$s" "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add "to_exit:$s" "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    add "after_app:$s" "$(ms "$(value app_us "$l")" "$(value end_us "$l")")"
    if [ $s = $main ]; then
      l=$(limit "$ours" --shell-removal --flush)
      add shell_removal "$(ms 0 "$(value shell_removal_us "$l")")"
    else
      l=$(limit "$ours")
    fi
    d=$(value decode_us "$l") w=$(value write_us "$l") r=$(value removal_us "$l")
    add "decode:$s" "$(ms 0 "$d")"
    add "write:$s" "$(ms 0 "$w")"
    add "removal:$s" "$(ms 0 "$r")"
    add "limit:$s" "$(ms 0 $((d + w)))"
    add "limit_exit:$s" "$(ms 0 $((d + w + r)))"
    [ $s = $main ] || continue
    attached_size=$(value frame_bytes "$l")
    add flushed_write "$(ms 0 "$(value flushed_write_us "$l")")"
    l=$(launch "$one")
    add one_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add one_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    l=$(launch "$peer")
    add peer_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add peer_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    l=$(launch "$tiny_exe")
    add tiny_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add tiny_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    crowd_temp
    stale_before=$(stale_entries)
    l=$(launch "$tiny_exe")
    add crowded_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add crowded_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    add crowded_swept "$((stale_before - $(stale_entries)))"
    clear_temp
    crowd_temp
    stale_before=$(stale_entries)
    l=$(launch "$tiny_kept")
    add crowded_reuse_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    add crowded_reuse_swept "$((stale_before - $(stale_entries)))"
    clear_temp
    l=$(launch "$host" --twice "$library")
    add floor_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add floor_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    l=$(launch "$host" "$library")
    add single_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add single_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    # Reuse: a first start (no tree), then a start that finds and checks it.
    rm -rf "$kept/$main"_*
    l=$(launch "$main_kept")
    add reuse_first_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    l=$(launch "$main_kept")
    add reuse_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add reuse_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    # The new version's first start over the old tree; the bytes it wrote
    # are those of the files that are new on the disk (a file written is a
    # new file; one taken over keeps its number).
    before=$(find "$kept" -type f -printf '%i %s\n' | sort)
    l=$(launch "$main_kept_v2")
    add takeover_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add takeover_written "$(comm -13 <(echo "$before") <(find "$kept" -type f -printf '%i %s\n' | sort) | awk '{ s += $2 } END { print s + 0 }')"
    l=$(launch "$tiny_kept")
    add reuse_tiny_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add reuse_tiny_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    l=$(launch "$tiny_kept_child")
    add reuse_child_tiny_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    # Entry programs: through a launcher, against one plain start of the same program.
    l=$(launch "$tiny_entry")
    add entry_tiny_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    l=$(launch "$entry_alone")
    add entry_alone_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    l=$(launch "$entry_kept")
    add entry_reuse_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add entry_reuse_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
    l=$(launch "$entry_in_tree")
    add entry_direct_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
    add entry_direct_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
  done
done
# The reference payload again with the prefix's TEMP on a memory disk (a
# TEMP set here does not reach Wine programs: the folder itself is linked
# there): the pool, the one-thread loop and the limits, in turn.
temp_folder=$(ls -d "$VESKAR_WINEPREFIX"/drive_c/users/*/Temp | grep -v /Public/ | head -1)
memory_temp=/dev/shm/veskar-bench-temp-$$
mkdir -p "$memory_temp"
mv "$temp_folder" "$temp_folder.disk" && ln -s "$memory_temp" "$temp_folder"
restore_temp() { [ -L "$temp_folder" ] && rm "$temp_folder" && mv "$temp_folder.disk" "$temp_folder"; rm -rf "$memory_temp"; }
trap restore_temp EXIT
ours="$(windows_path "$work/$main.exe")"
launch "$ours" >/dev/null
for ((i = 0; i < runs; i++)); do
  l=$(launch "$ours")
  add shm_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
  add shm_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
  l=$(launch "$one")
  add shm_one_to_app "$(ms "$(value start_us "$l")" "$(value app_us "$l")")"
  add shm_one_to_exit "$(ms "$(value start_us "$l")" "$(value end_us "$l")")"
  l=$(limit "$ours")
  d=$(value decode_us "$l") w=$(value write_us "$l") r=$(value removal_us "$l")
  add shm_decode "$(ms 0 "$d")"
  add shm_write "$(ms 0 "$w")"
  add shm_limit "$(ms 0 $((d + w)))"
  add shm_limit_exit "$(ms 0 $((d + w + r)))"
  # Where each close costs what a virus scanner adds (2 ms here): the tree
  # written by one thread against the pool's two writers.
  add delay_one "$(ms 0 "$(value write_us "$(wine_run "$runner" close-delay "$ours" 2 1 | tr -d '\r')")")"
  add delay_pool "$(ms 0 "$(value write_us "$(wine_run "$runner" close-delay "$ours" 2 2 | tr -d '\r')")")"
done
restore_temp
trap - EXIT

# Memory: the largest of up to three runs per size, in MiB. The parent is
# sampled by the runner while it runs; the child reports its own peak at
# run_code. Sampling costs time, so these runs are not timed.
for s in "${sizes[@]}" tiny; do
  exe="$(windows_path "$work/$s.exe")"
  n=$(count_for $s)
  [ $s = tiny ] && n=$runs
  for ((i = 0; i < (n < 3 ? n : 3); i++)); do
    l=$(launch --memory "$exe")
    add "parent_private:$s" "$(mib "$(value parent_peak_private "$l")")"
    add "parent_ws:$s" "$(mib "$(value parent_peak_working_set "$l")")"
    add "child_private:$s" "$(mib "$(value app_peak_private "$l")")"
    add "child_ws:$s" "$(mib "$(value app_peak_working_set "$l")")"
  done
done
for ((i = 0; i < (runs < 3 ? runs : 3); i++)); do
  l=$(launch --memory "$(windows_path "$work/$main-quiet.exe")")
  add parent_private_quiet "$(mib "$(value parent_peak_private "$l")")"
  l=$(launch --memory "$host" --twice "$library")
  add floor_parent_private "$(mib "$(value parent_peak_private "$l")")"
  add floor_child_private "$(mib "$(value app_peak_private "$l")")"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }
sec() { awk -v v="$1" 'BEGIN { printf "%.2f s", v / 1000 }'; }
mb() { awk -v v="$1" 'BEGIN { printf "%.1f MB", v / 1e6 }'; }

# The tables: what was measured, what it is judged against, the ratio and the
# target; "ours / other" throughout, so lower is better. results.md holds
# them all, summary.md the few rows the README shows; both open with where
# and when they were measured and how busy the machine was.
results="$root/bench/results"
[ $smoke = 1 ] && results="$work/results"
mkdir -p "$results"
table="$results/results.md"
summary="$results/summary.md"
ratios="$results/ratios.dat"
sweep="$results/sizes.dat"
: > "$ratios"
machine="$(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(free -h | awk '/^Mem:/ { print $2 }') memory; $(wine --version 2>/dev/null); $(. /etc/os-release && echo "$PRETTY_NAME")"
busy_after=$(busy_share)
if awk -v a="$busy_before" -v b="$busy_after" 'BEGIN { exit !(a <= 5 && b <= 5) }'; then
  load="On a machine doing nothing else: $busy_before % and $busy_after % of its CPU time busy in the $quiet_window s before and after the measurements."
else
  load="On a machine NOT idle: $busy_before % and $busy_after % of its CPU time busy outside the bench in the $quiet_window s before and after the measurements, so these figures are slower and noisier than a quiet machine's."
  echo "run.sh: the machine was busy with other work; the tables say so" >&2
fi
{
  echo "Measured by \`bench/run.sh\` on $(date -u +%Y-%m-%d) at commit $commit: $machine."
  echo "$load"
} > "$summary"
{
  cat "$summary"
  echo "Reference payload: ${files[$main]} files, $(mb "${bytes[$main]}") unpacked, zstd level $level, $threads threads; medians of $runs runs (packing $pack_runs), the other sizes $sweep_runs; memory is the largest of up to 3 runs."
  echo
  echo "| Measurement | Ours | Against | Ratio (ours/against) | Target |"
  echo "|---|---|---|---|---|"
} > "$table"
{
  echo
  echo "| Measurement | Ours | Against | Ratio | Target |"
  echo "|---|---|---|---|---|"
} >> "$summary"
# One row: label, ours and against as shown, their ratio, the target (or -)
# and the chart label. A side that was not measured, or measured as zero,
# fails the run: such a ratio cannot be right.
emit() {
  local verdict="—"
  if [ "$5" != "-" ]; then
    verdict=$(awk -v r="$4" -v t="$5" 'BEGIN { print (r <= t) ? "≤ " t " met" : "≤ " t " MISSED" }')
    echo "\"$6\" $4 $5" >> "$ratios"
  fi
  echo "| $1 | $2 | $3 | $4 | $verdict |" >> "$table"
}
measured() {
  awk -v a="$2" -v b="$3" 'BEGIN { exit !(a + 0 > 0 && b + 0 > 0) }' ||
    { echo "run.sh: no measurement for \"$1\" ('$2' against '$3')" >&2; exit 1; }
}
row() {  # label, ours, against label, against, target ratio (or -), chart label; ours and against in ms
  measured "$1" "$2" "$4"
  emit "$1" "$(sec "$2")" "$3: $(sec "$4")" "$(ratio "$2" "$4")" "$5" "$6"
}
rowv() {  # the same with values in their own unit: label, ours, against label, against, unit, target, chart label
  measured "$1" "$2" "$4"
  emit "$1" "$2 $5" "$3: $4 $5" "$(ratio "$2" "$4")" "$6" "$7"
}
# The row just written is also one of the summary's.
keep() { tail -1 "$table" >> "$summary"; }
M=":$main"
row "Start to \`run_code\` (reference), writer pool" "$(m to_app$M)" "decode $(m decode$M) ms + write $(m write$M) ms" "$(m limit$M)" 0.90 "start vs limit"; keep
row "Start to \`run_code\`, one thread (\`--unpack-threads 1\`)" "$(m one_to_app)" "decode + write" "$(m limit$M)" - ""
row "Start to exit (reference), writer pool" "$(m to_exit$M)" "decode + write + plain removal $(m removal$M) ms" "$(m limit_exit$M)" 1.00 "exit vs limit"
row "Start to exit, one thread" "$(m one_to_exit)" "decode + write + plain removal" "$(m limit_exit$M)" - ""
row "Start to \`run_code\`, writer pool, TEMP on a memory disk" "$(m shm_to_app)" "decode $(m shm_decode) ms + write $(m shm_write) ms" "$(m shm_limit)" 0.80 "start vs limit, memory disk"
row "Start to \`run_code\`, one thread, TEMP on a memory disk" "$(m shm_one_to_app)" "decode + write" "$(m shm_limit)" - ""
row "Start to exit, writer pool, TEMP on a memory disk" "$(m shm_to_exit)" "decode + write + plain removal" "$(m shm_limit_exit)" 1.00 "exit vs limit, memory disk"
row "Start to exit, one thread, TEMP on a memory disk" "$(m shm_one_to_exit)" "decode + write + plain removal" "$(m shm_limit_exit)" - ""
row "Tree written with 2 ms per close, two writers" "$(m delay_pool)" "one thread" "$(m delay_one)" - ""
row "Start to application, against NSIS" "$(m to_app$M)" "NSIS solid LZMA" "$(m peer_to_app)" 0.33 "start vs NSIS"; keep
row "Start to exit, against NSIS" "$(m to_exit$M)" "NSIS solid LZMA" "$(m peer_to_exit)" 0.33 "exit vs NSIS"; keep
# How near the NSIS targets any launcher can come: the physical limits themselves against NSIS.
row "Limit (decode + write), against NSIS" "$(m limit$M)" "NSIS solid LZMA, to application" "$(m peer_to_app)" - ""
row "Limit (+ plain removal), against NSIS" "$(m limit_exit$M)" "NSIS solid LZMA, to exit" "$(m peer_to_exit)" - ""
row "Removal of the tree: plain walk" "$(m removal$M)" "\`SHFileOperationW\` FO_DELETE" "$(m shell_removal)" - ""
row "Ours after \`run_code\` to exit" "$(m after_app$M)" "plain removal" "$(m removal$M)" - ""
row "Tiny application, start to \`run_code\`" "$(m tiny_to_app)" "two-process floor" "$(m floor_to_app)" 1.3 "tiny vs floor"; keep
row "Tiny application, start to exit" "$(m tiny_to_exit)" "two-process floor" "$(m floor_to_exit)" - ""
row "Tiny application, start to \`run_code\`, TEMP with 10,000 entries and 20 dead trees of 400 files" "$(m crowded_to_app)" "empty TEMP" "$(m tiny_to_app)" 1.05 "crowded TEMP"
row "Tiny application, start to exit, the same crowded TEMP ($(m crowded_swept) entries swept)" "$(m crowded_to_exit)" "empty TEMP" "$(m tiny_to_exit)" 1.2 "crowded TEMP exit"
row "Reusing start to exit, tiny application, the same crowded TEMP ($(m crowded_reuse_swept) entries swept)" "$(m crowded_reuse_to_exit)" "empty TEMP" "$(m reuse_tiny_to_exit)" 1.2 "crowded TEMP exit, reuse"
row "Tiny application, start to \`run_code\`" "$(m tiny_to_app)" "one plain executable" "$(m single_to_app)" - ""
row "Reusing start to \`run_code\` (reference)" "$(m reuse_to_app)" "first start, unpacking" "$(m reuse_first_to_app)" 0.05 "reuse vs first"; keep
row "Reusing start to \`run_code\` (reference)" "$(m reuse_to_app)" "two-process floor" "$(m floor_to_app)" 2.0 "reuse vs floor"
row "Reusing start to \`run_code\` (reference)" "$(m reuse_to_app)" "one plain executable" "$(m single_to_app)" 1.3 "reuse vs one process"
row "Reusing start to \`run_code\` (reference)" "$(m reuse_to_app)" "per-run start, tiny application" "$(m tiny_to_app)" 1.0 "reuse vs per-run tiny"
# What flushing every file would cost (a reusing first start flushes only
# where the boot is not known; the first start after a restart makes its
# files durable), and a reusing first start against a per-run one.
row "Tree written, each file flushed before it is closed (reference)" "$(m flushed_write)" "written without flushing" "$(m write$M)" - ""
row "Reusing first start to \`run_code\` (reference)" "$(m reuse_first_to_app)" "per-run start" "$(m to_app$M)" 1.05 "reusing first start"; keep
row "New version with one changed file, first start to \`run_code\` (reference)" "$(m takeover_to_app)" "full reusing first start" "$(m reuse_first_to_app)" 0.15 "new version vs first start"; keep
rowv "Bytes written by that first start (reference)" "$(m takeover_written)" "the changed file" "$changed_size" bytes 1.0 "new version bytes"
row "Reusing start to \`run_code\`, tiny application" "$(m reuse_tiny_to_app)" "two-process floor" "$(m floor_to_app)" - ""
row "Reusing start to \`run_code\`, tiny application" "$(m reuse_tiny_to_app)" "\`--reuse-process child\`" "$(m reuse_child_tiny_to_app)" - ""
row "Reusing start to exit (reference)" "$(m reuse_to_exit)" "two-process floor" "$(m floor_to_exit)" - ""
row "Tiny entry program, start to its \`main\`" "$(m entry_tiny_to_app)" "one plain start of it" "$(m entry_alone_to_app)" - ""
row "Reusing start of an entry program to its \`main\` (reference)" "$(m entry_reuse_to_app)" "the entry started directly in the tree" "$(m entry_direct_to_app)" 1.15 "entry reuse vs direct"
row "Reusing start of an entry program to its \`main\` (reference)" "$(m entry_reuse_to_app)" "two-process floor" "$(m floor_to_app)" - ""
row "Reusing start of an entry program to exit (reference)" "$(m entry_reuse_to_exit)" "the entry started directly in the tree" "$(m entry_direct_to_exit)" - ""
row "Packing with --reuse (reference)" "$(m pack_reuse)" "packing without" "$(m pack$M)" - ""
row "Packing time (reference)" "$(m pack$M)" "tar \\| zstd -$level -T$threads" "$(m zstd_pack$M)" 1.05 "pack time"; keep
rowv "Archive size (reference)" "$attached_size" "tar \\| zstd -$level -T$threads" "$zstd_size" bytes 1.01 "pack size"
for s in "${sizes[@]}"; do
  rowv "Packer peak memory ($s)" "$(maxof pack_peak:$s)" "zstd -$level -T$threads alone" "$(maxof zstd_peak:$s)" MiB 1.20 "packer memory, $s"
done
rowv "Launcher size (reference)" "$launcher_size" "NSIS solid LZMA exe" "$peer_size" bytes - ""
rowv "Parent peak private memory (reference), unpacking" "$(maxof parent_private_quiet)" "limit" 8 MiB 1.00 "parent memory"; keep
rowv "Parent peak private memory (reference), with the progress window" "$(maxof parent_private$M)" "limit" 8 MiB - ""
rowv "Child peak private memory (reference)" "$(maxof child_private$M)" "limit" 8 MiB 1.00 "child memory"; keep
# The parent reads the archive a block at a time: its working set against
# the launcher file's size shows that it holds no more of it.
rowv "Parent / child peak working set (reference)" "$(maxof parent_ws$M) / $(maxof child_ws$M)" "launcher file" "$(mib "$launcher_size")" MiB - ""
rowv "Tiny parent / child peak private" "$(maxof parent_private:tiny) / $(maxof child_private:tiny)" "floor" "$(maxof floor_parent_private) / $(maxof floor_child_private)" MiB - ""
{
  echo
  echo "Cost against size (same machine and run; time should grow with bytes and files, memory not at all):"
  echo
  echo "| Payload | Files | Unpacked | Start to \`run_code\` | Limit: decode + write | Start to exit | Limit: + plain removal | Parent / child peak private | Packing | Packer / zstd alone peak memory |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
} >> "$table"
: > "$sweep"
for s in "${sizes[@]}"; do
  S=":$s"
  echo "| $s | ${files[$s]} | $(mb "${bytes[$s]}") | $(sec "$(m to_app$S)") | $(sec "$(m limit$S)") | $(sec "$(m to_exit$S)") | $(sec "$(m limit_exit$S)") | $(maxof parent_private$S) / $(maxof child_private$S) MiB | $(sec "$(m pack$S)") | $(maxof pack_peak$S) / $(maxof zstd_peak$S) MiB |" >> "$table"
  echo "${bytes[$s]} ${files[$s]} $(m to_app$S) $(m to_exit$S) $(m limit$S) $(m limit_exit$S) $(m pack$S) $(maxof parent_private$S) $(maxof child_private$S) $(maxof pack_peak$S)" >> "$sweep"
done
awk -v first="${sizes[0]}" -v last="${sizes[${#sizes[@]}-1]}" '
  NR == 1 { for (i = 1; i <= NF; i++) a[i] = $i }
  END { for (i = 1; i <= NF; i++) b[i] = $i
        printf "\nFrom %s to %s: bytes x%.1f, files x%.1f; start to run_code x%.1f, start to exit x%.1f, packing x%.1f; parent memory x%.2f, child memory x%.2f.\n",
          first, last, b[1] / a[1], b[2] / a[2], b[3] / a[3], b[4] / a[4], b[7] / a[7], b[8] / a[8], b[9] / a[9] }' "$sweep" >> "$table"
cat "$table"

if command -v gnuplot >/dev/null && [ -s "$ratios" ]; then
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
plot "$ratios" using 2:xtic(1) title "measured" lc rgb "#3070b0", \
     "" using 3 title "target (at most)" lc rgb "#c0c0c0"
set output "$results/size_time.png"
set title "Time against unpacked size (under Wine)"
set style data linespoints
set xlabel "unpacked MB"
set ylabel "seconds"
set key left top
set xtics norotate
set xrange [0:*]
plot "$sweep" using (\$1/1e6):(\$3/1000) title "start to run_code" lw 2 pt 7, \
     "" using (\$1/1e6):(\$5/1000) title "limit: decode + write" dt 2 pt 6, \
     "" using (\$1/1e6):(\$4/1000) title "start to exit" lw 2 pt 5, \
     "" using (\$1/1e6):(\$6/1000) title "limit: + plain removal" dt 2 pt 4, \
     "" using (\$1/1e6):(\$7/1000) title "packing" lw 2 pt 9
set output "$results/size_memory.png"
set title "Launcher peak private memory against unpacked size (under Wine)"
set ylabel "MiB"
set yrange [0:10<*]
plot "$sweep" using (\$1/1e6):8 title "parent" lw 2 pt 7, \
     "" using (\$1/1e6):9 title "child" lw 2 pt 5, \
     8 title "target (at most)" dt 2 lc rgb "#c03030"
GP
fi

# The README keeps the summary and docs/performance.md the whole of
# results.md, each between two marker lines.
if [ $readme = 1 ]; then
  summary_page=README.md results_page=docs/performance.md
  begin='<!-- bench results begin -->' end='<!-- bench results end -->'
  for page in "$summary_page" "$results_page"; do
    grep -qxF "$begin" "$page" && grep -qxF "$end" "$page" || { echo "run.sh: $page lacks the results markers" >&2; exit 1; }
  done
  splice() {  # page, the file to put between its markers
    awk -v begin="$begin" -v end="$end" -v table="$2" '
      $0 == begin { print; while ((getline line < table) > 0) print line; skip = 1; next }
      $0 == end { skip = 0 }
      !skip' "$1" > "$1.new" && mv "$1.new" "$1"
  }
  splice "$summary_page" "$summary"
  splice "$results_page" "$table"
fi
echo "bench: tables and charts in $results" >&2
