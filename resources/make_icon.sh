#!/usr/bin/env bash
# Remakes resources/veskar.ico: our icon, a white chevron on a rounded teal
# square, drawn with ImageMagick at 256 pixels and scaled to six sizes, each
# stored PNG-coded in the icon file. Run it by hand after changing the design;
# the result is committed.
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/veskar.ico
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
sizes=(16 24 32 48 64 256)
png_options=(-strip -define png:exclude-chunks=date,time -define png:color-type=6)

/usr/bin/convert -size 256x256 xc:none \
  -fill '#16677f' -draw 'roundrectangle 8,8 247,247 44,44' \
  -fill '#2a8fae' -draw 'roundrectangle 8,8 247,120 44,44' \
  -fill '#16677f' -draw 'rectangle 8,90 247,128' \
  -fill white -draw 'polygon 58,66 104,66 128,150 152,66 198,66 148,196 108,196' \
  "${png_options[@]}" "$work/256.png"
for s in "${sizes[@]}"; do
  [ "$s" = 256 ] || /usr/bin/convert "$work/256.png" -resize "${s}x${s}" "${png_options[@]}" "PNG32:$work/$s.png"
done

le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16)); }
{
  le16 0; le16 1; le16 ${#sizes[@]}
  offset=$((6 + 16 * ${#sizes[@]}))
  for s in "${sizes[@]}"; do
    size=$(stat -c %s "$work/$s.png")
    dim=$((s == 256 ? 0 : s))
    printf "\\x$(printf %02x $dim)\\x$(printf %02x $dim)\\x00\\x00"
    le16 1; le16 32; le32 "$size"; le32 "$offset"
    offset=$((offset + size))
  done
  for s in "${sizes[@]}"; do cat "$work/$s.png"; done
} > "$out"
echo "wrote $out"
