#!/usr/bin/env bash
# Remakes the seed corpus of the packer's reader fuzzer: small launchers cut
# down to the sections the reader looks at, and damaged or hostile ones.
# Needs the host build (veskar-pack, veskar-craft) and the launcher kit of the
# Windows build. Usage: make_seeds.sh [STAGE_DIR] [CORPUS_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stage=$(cd "${1:-$here/../../build/stage}" && pwd)
corpus=${2:-$here/corpus}
pack=$stage/bin/veskar-pack
craft=$stage/bin/veskar-craft
objcopy=x86_64-w64-mingw32-objcopy
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$corpus"
mkdir -p "$corpus"

# Little-endian numbers and UTF-16LE names, as the record stream holds them.
u64() { local v=$1 i; for i in 0 1 2 3 4 5 6 7; do printf "\\x$(printf %02x $(((v >> (8 * i)) & 255)))"; done; }
u32() { local v=$1 i; for i in 0 1 2 3; do printf "\\x$(printf %02x $(((v >> (8 * i)) & 255)))"; done; }
name() { printf %s "$1" | iconv -f UTF-8 -t UTF-16LE; printf '\0\0'; }
record() { name "$1"; u64 "${#2}"; printf %s "$2"; }
end_marker() { printf '\0\0'; }

# "QVY", one zstd frame with its checksum, zero fill to a multiple of 8 and
# the trailer holding that offset.
attached() {
  local stream=$1 out=$2 size fill
  { printf QVY; zstd -q -19 --check -c < "$stream"; } > "$out"
  size=$(stat -c %s "$out")
  fill=$(((8 - size % 8) % 8))
  head -c "$fill" /dev/zero >> "$out"
  u64 $((size + fill)) >> "$out"
}

# A launcher around attached data, cut down to the sections the reader
# looks at (SECTIONS: extra -j options for objcopy).
skeleton() {
  local seed=$1 blob=$2; shift 2
  "$pack" --kit "$stage/lib/veskar-onefile" link --attached-data "$blob" -o "$work/$seed.exe" "${@:2}"
  # shellcheck disable=SC2086
  $objcopy -j .veskar $1 "$work/$seed.exe" "$corpus/$seed"
}

from_stream() {  # SEED: the record stream on standard input
  cat > "$work/$1.stream"
  attached "$work/$1.stream" "$work/$1.bin"
  skeleton "$1" "$work/$1.bin" ""
}

# Where the section table of a PE file says .veskar lies: the offset of its
# header (virtual size at +8, raw size at +16, raw offset at +20).
veskar_header() {
  local file=$1 pe count optional table i
  pe=$(od -An -tu4 -j 60 -N4 "$file" | tr -d ' ')
  count=$(od -An -tu2 -j $((pe + 6)) -N2 "$file" | tr -d ' ')
  optional=$(od -An -tu2 -j $((pe + 20)) -N2 "$file" | tr -d ' ')
  table=$((pe + 24 + optional))
  for ((i = 0; i < count; i++)); do
    if [ "$(head -c $((table + i * 40 + 7)) "$file" | tail -c 7)" = .veskar ]; then
      echo $((table + i * 40)); return
    fi
  done
  exit 1
}
patch() { dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }  # bytes on standard input

# Real launchers: a small application with its resources, one with a splash.
mkdir -p "$work/app/data" "$work/app/bin"
# The packer takes only a real application library: the smallest MinGW makes.
echo 'extern "C" __declspec(dllexport) int run_code() { return 0; }' |
  x86_64-w64-mingw32-g++ -shared -s -x c++ - -o "$work/app/bin/app.dll"
printf 'text\n' > "$work/app/data/a.txt"
: > "$work/app/empty"
"$pack" --kit "$stage/lib/veskar-onefile" build --quiet --dir "$work/app" --app-library bin/app.dll \
  -o "$work/app.exe" --level 3 --version-info FileVersion=1.2.3.4 --version-info ProductName=Seed
$objcopy -j .veskar -j .vskinfo -j .rsrc "$work/app.exe" "$corpus/launcher-with-resources"
$objcopy -j .veskar -j .vskinfo "$work/app.exe" "$corpus/launcher"

# Crafted record streams: the launcher's own test cases, and hostile names.
craft_seed() {
  local seed=$1; shift
  "$craft" -o "$work/$seed.bin" "$@"
  skeleton "$seed" "$work/$seed.bin" ""
}
lib="app.dll=$work/app/bin/app.dll"
text="a.txt=$work/app/data/a.txt"
craft_seed end-marker-only
craft_seed wrong-marker --header QVZ "$lib"
craft_seed corrupt-block --corrupt-block "$lib" "$text"
craft_seed truncated-frame --truncate-frame "$lib" "$text"
craft_seed no-end-marker --drop-tail 2 "$lib" "$text"
craft_seed cut-content --drop-tail 3 "$lib" "$text"
i=0
for hostile in '..\escape' 'sub\..\..\escape' '\escape' 'C:escape' 'ab:stream' 'a\\b' 'a\.\b' 'a/../b' 'NUL' \
               'sub\Con.tar.gz' 'lpt¹.txt' 'COM9 .log' 'trailing.' 'trailing ' 'A.TXT' 'a.txt\below' 'ФАЙЛ'; do
  craft_seed "hostile-name-$i" "$lib" "$text" "$hostile=$work/app/data/a.txt" "файл=$work/app/data/a.txt"
  i=$((i + 1))
done
craft_seed long-name "$(printf 'n%.0s' $(seq 1024))=$work/app/data/a.txt"
{ printf '\x41\0\x00\xd8\0\0'; u64 1; printf x; end_marker; } | from_stream unpaired-surrogate
{ record app.dll x; name big; u64 18446744073709551615; printf 'short'; } | from_stream huge-size
{ record app.dll x; end_marker; printf 'after the end'; } | from_stream after-end-marker

# Damaged containers, from the small launcher.
head -c 0 /dev/null > "$corpus/empty"
printf MZ > "$corpus/mz-only"
head -c 200 "$corpus/launcher" > "$corpus/truncated-headers"
at=$(veskar_header "$corpus/launcher")
cp "$corpus/launcher" "$corpus/section-past-end"
u32 4294966784 | patch "$corpus/section-past-end" $((at + 20))
cp "$corpus/launcher" "$corpus/section-huge-size"
u32 4294967295 | patch "$corpus/section-huge-size" $((at + 8))
u32 4294967295 | patch "$corpus/section-huge-size" $((at + 16))
raw=$(od -An -tu4 -j $((at + 20)) -N4 "$corpus/launcher" | tr -d ' ')
vsize=$(od -An -tu4 -j $((at + 8)) -N4 "$corpus/launcher" | tr -d ' ')
cp "$corpus/launcher" "$corpus/bytes-after-trailer"
printf '\x01' | patch "$corpus/bytes-after-trailer" $((raw + vsize - 1))
{ record app.dll x; end_marker; } > "$work/small.stream"
attached "$work/small.stream" "$work/bad-trailer.bin"
u64 12345 | patch "$work/bad-trailer.bin" $(($(stat -c %s "$work/bad-trailer.bin") - 8))
skeleton bad-trailer "$work/bad-trailer.bin" ""
echo "make_seeds: $(find "$corpus" -type f | wc -l) seeds, $(du -sk "$corpus" | cut -f1) KiB in $corpus"
