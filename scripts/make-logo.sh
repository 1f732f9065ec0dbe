#!/bin/bash
# Makes the about box's 200x70 JPEG logo (resource 1021) with ImageMagick.
set -euo pipefail
out=${1:-"$(dirname "$0")/../src/resources/logo.jpg"}
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
convert -size 200x70 gradient:'#1d3557-#457b9d' \
  -fill '#f1faee' -stroke '#e63946' -strokewidth 3 -draw 'roundrectangle 8,12 52,58 8,8' \
  -stroke none -fill '#e63946' -draw 'polygon 22,22 22,48 44,35' \
  -font "$font" -pointsize 30 -fill '#f1faee' -annotate +62+44 'KESTRO' \
  -pointsize 10 -fill '#a8dadc' -annotate +64+60 'video capture codec' \
  -strip -quality 90 -sampling-factor 2x2 "jpeg:$out"
identify "$out"
