#!/usr/bin/env bash
# Regenerates Kestrun's window/taskbar icons from plain ImageMagick drawing
# commands, so the artwork lives in the repo as text rather than as a binary
# someone has to open in an editor. Needs ImageMagick 6 (`convert`).
#
#   bash scripts/make_icons.sh      (works from any directory)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
res="$here/../res"
mkdir -p "$res"

ink='#2b3036'      # outlines: dark enough to survive downscaling
body='#d5d9de'     # printer body: light grey so the white sheet stands out
lens='#aedcff'     # magnifier glass
text='#8a939c'     # "printed" lines on the sheet

# 32px: drawn at 256x256 and averaged down 8x, which gives clean, slightly
# soft edges. The sheet goes first so the body hides its lower edge and it
# looks fed out of the top; the handle goes before the rim so the rim sits
# on top of it.
convert -size 256x256 xc:none -stroke "$ink" -strokewidth 12 \
  -fill white   -draw 'rectangle 68,14 172,110' \
  -fill "$body" -draw 'roundrectangle 18,84 226,196 22,22' \
  -stroke "$text" -strokewidth 8 -draw 'line 92,40 148,40' -draw 'line 92,60 140,60' \
  -stroke "$ink" -strokewidth 10 -draw 'line 48,150 130,150' \
  -stroke none -fill '#3cb043' -draw 'circle 204,104 204,113' \
  -stroke "$ink" -strokewidth 30 -draw 'line 198,198 238,238' \
  -stroke "$ink" -strokewidth 12 -fill "$lens" -draw 'circle 166,166 166,218' \
  -stroke white -strokewidth 10 -fill none -draw 'arc 132,132 200,200 195,255' \
  -filter Box -resize 32x32 -alpha on "$res/kestrun.ico"

# 16px: averaging the big drawing down this far turns the outlines into grey
# mush, so this one is laid out by hand on the pixel grid, without
# antialiasing: 1px outlines, one text line, no slot or LED, a smaller body
# so the magnifier gets room to stick out past the corner.
convert -size 16x16 xc:none +antialias -stroke "$ink" -strokewidth 1 \
  -fill white   -draw 'rectangle 2,0 9,5' \
  -stroke "$text" -draw 'line 4,2 7,2' \
  -stroke "$ink" -fill "$body" -draw 'rectangle 0,4 11,11' \
  -strokewidth 2 -draw 'line 13,13 14.5,14.5' \
  -strokewidth 1 -fill "$lens" -draw 'circle 10,10 10,13.5' \
  -stroke none -fill white -draw 'point 9,9' \
  -alpha on "$res/kestrun_small.ico"
