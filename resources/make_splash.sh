#!/usr/bin/env bash
# Remakes examples/hello/splash.png, the example application's splash image:
# 480x270, a rounded teal card with our chevron and the application's name,
# on a fully transparent surround (the rounded corners), drawn with
# ImageMagick and the DejaVu fonts. Run it by hand after changing the design;
# the result is committed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$here/examples/hello/splash.png
mkdir -p "$(dirname "$out")"

/usr/bin/convert -size 480x270 xc:none \
  -fill '#16677f' -draw 'roundrectangle 6,6 473,263 28,28' \
  -fill '#2a8fae' -draw 'roundrectangle 6,6 473,120 28,28' \
  -fill '#2a8fae' -draw 'rectangle 6,60 473,120' \
  -fill white -draw 'polygon 44,70 76,70 93,128 110,70 142,70 107,160 79,160' \
  -font DejaVu-Sans-Bold -pointsize 34 -fill white -annotate +168+112 'Hello' \
  -font DejaVu-Sans -pointsize 20 -fill '#d8eef4' -annotate +168+148 'a Veskar Onefile application' \
  -font DejaVu-Sans -pointsize 16 -fill '#d8eef4' -annotate +44+232 'Starting...' \
  -strip -define png:exclude-chunks=date,time PNG32:"$out"
echo "wrote $out"
