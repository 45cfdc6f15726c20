#!/usr/bin/env bash
# Makes the splash test images in the folder given as the only argument:
#   pattern.png     201x121, odd sizes so that centring has to truncate; four
#                   opaque colour blocks and a fully transparent hole (no
#                   partial alpha, so every pixel can be checked on screen)
#   zero_width.png  a PNG whose header says 0 pixels wide, 1 high
#   zero_height.png a PNG whose header says 1 pixel wide, 0 high
#   truncated.png   pattern.png cut off in the middle of its image data
set -euo pipefail
out=$1
mkdir -p "$out"

/usr/bin/convert +antialias -size 201x121 xc:'#d02020' \
  -fill '#20b040' -draw 'rectangle 100,0 200,60' \
  -fill '#2040d0' -draw 'rectangle 0,61 99,120' \
  -fill '#f0e010' -draw 'rectangle 100,61 200,120' \
  \( -size 201x121 xc:white -fill black -draw 'rectangle 70,40 130,80' \) \
  -alpha off -compose CopyOpacity -composite \
  -strip -define png:exclude-chunks=date,time PNG32:"$out/pattern.png"

size=$(stat -c %s "$out/pattern.png")
head -c $((size / 2)) "$out/pattern.png" > "$out/truncated.png"

# Bytes written from hex text ("89 50 4e").
hex() { for b in "$@"; do printf "\\x$b"; done; }
be32() { printf '%08x' "$1" | sed 's/../& /g'; }
# One PNG chunk: length, type, data, CRC-32 of type and data. gzip's trailer
# carries the CRC-32 of its input, least significant byte first.
chunk() {
  local type=$1; shift
  local data=("$@")
  hex $(be32 ${#data[@]})
  local crc
  crc=$( { printf '%s' "$type"; hex "${data[@]}"; } | gzip -c | tail -c 8 | head -c 4 | od -An -tx1)
  printf '%s' "$type"; hex "${data[@]}"
  hex $(echo $crc | awk '{print $4, $3, $2, $1}')
}
# IHDR: width, height, 8 bits, colour type 6 (RGBA), default methods.
# IDAT: a zlib stream of stored blocks holding the rows (each a filter byte
# and 4 bytes per pixel): one row of no pixels, or no rows at all.
png() {
  local width=$1 height=$2; shift 2
  hex 89 50 4e 47 0d 0a 1a 0a
  chunk IHDR $(be32 "$width") $(be32 "$height") 08 06 00 00 00
  chunk IDAT "$@"
  chunk IEND
}
png 0 1 78 01 01 01 00 fe ff 00 00 01 00 01 > "$out/zero_width.png"
png 1 0 78 01 01 00 00 ff ff 00 00 00 01 > "$out/zero_height.png"
