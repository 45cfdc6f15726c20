#!/usr/bin/env bash
# Builds the packer's reader fuzzer and runs it for SECONDS with JOBS
# parallel workers (default 1), from the seeds in fuzz/pack/corpus plus what
# earlier runs found (build/fuzz-pack/corpus). Findings go to
# build/fuzz-pack/artifacts; the run fails if there are any.
# Usage: fuzz/pack/run.sh SECONDS [JOBS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:?usage: run.sh SECONDS [JOBS]}
jobs=${2:-1}
build=$root/build/fuzz-pack
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" > "$build/build.log" || { cat "$build/build.log" >&2; exit 1; }
mkdir -p "$build/corpus" "$build/artifacts"
rm -f "$build"/fuzz-*.log
# extract writes every input's files: a memory file system keeps that fast.
[ -n "${TMPDIR:-}" ] || { [ -w /dev/shm ] && export TMPDIR=/dev/shm; }
# A small quarantine still catches use after free, at a fraction of the
# default's cost in fresh pages.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
options=(-max_total_time="$seconds" -max_len=32768 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
         -artifact_prefix="$build/artifacts/")
status=0
cd "$build"
if [ "$jobs" -gt 1 ]; then
  ./pack_reader_fuzzer "${options[@]}" -jobs="$jobs" -workers="$jobs" corpus "$here/corpus" > driver.log 2>&1 ||
    status=$?
else
  ./pack_reader_fuzzer "${options[@]}" corpus "$here/corpus" > fuzz-0.log 2>&1 || status=$?
fi
runs=$(cat fuzz-*.log | sed -n 's/^stat::number_of_executed_units: *//p' | awk '{ total += $1 } END { print total }')
coverage=$(grep -h 'cov: ' fuzz-*.log | tail -n1 | sed -E 's/.*(cov: [0-9]+ ft: [0-9]+).*/\1/')
echo "fuzz/pack: $runs executions in ${seconds} s with $jobs worker(s); $coverage; corpus $(ls corpus | wc -l) inputs"
if [ "$status" != 0 ] || [ -n "$(ls artifacts)" ]; then
  echo "fuzz/pack: findings in $build/artifacts (see $build/fuzz-*.log)" >&2
  exit 1
fi
