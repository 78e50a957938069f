#!/usr/bin/env bash
# Draws the package icon (one 32x32 image, 16 colours) into ui/vemosfx.ico:
# an open carton with a blue arrow pointing out of it. The .ico is kept in
# the repository; run this only to change the picture.
set -euo pipefail
cd "$(dirname "$0")"
convert -size 32x32 xc:'#C0C0C0' \
  -fill '#808000' -stroke black -strokewidth 1 -draw 'polygon 4,14 27,14 27,29 4,29' \
  -fill '#FFFF00' -draw 'polygon 4,14 0,9 11,9 15,14' -draw 'polygon 27,14 31,9 20,9 16,14' \
  -stroke none -fill '#800000' -draw 'rectangle 14,18 17,29' \
  -fill '#0000FF' -stroke '#000080' -draw 'polygon 15,1 23,9 18,9 18,15 13,15 13,9 8,9' \
  +dither -colors 16 -type palette -define bmp:format=bmp3 BMP3:/tmp/vemosfx-icon.bmp
convert /tmp/vemosfx-icon.bmp -type palette -depth 4 vemosfx.ico
rm -f /tmp/vemosfx-icon.bmp
