#!/usr/bin/env bash
# Draws the application icon (a bearing ring with a downward arrow onto a device bar) at 32x32 and
# 16x16 and packs both into pelorin.ico. Needs ImageMagick. Run from anywhere:
#   resources/make_icon.sh
# The built pelorin.ico is kept in the repository, so the build itself never runs this.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# 32x32: navy disc with a light ring, a white arrow pointing down, an amber device bar below.
convert -size 32x32 xc:none \
  -fill '#1d3b6e' -draw 'circle 15.5,15.5 15.5,0.5' \
  -fill none -stroke '#8fb4e8' -strokewidth 2 -draw 'circle 15.5,15.5 15.5,3' -stroke none \
  -fill white -draw 'rectangle 13,6 18,16' -draw 'polygon 8,15 23,15 15.5,23' \
  -fill '#f2a516' -draw 'rectangle 9,24 22,26' \
  -depth 8 "PNG32:$tmp/icon32.png"

# 16x16: the same picture, drawn again so the small size stays crisp.
convert -size 16x16 xc:none \
  -fill '#1d3b6e' -draw 'circle 7.5,7.5 7.5,0' \
  -fill white -draw 'rectangle 6,3 9,8' -draw 'polygon 3,8 12,8 7.5,12' \
  -fill '#f2a516' -draw 'rectangle 4,13 11,13' \
  -depth 8 "PNG32:$tmp/icon16.png"

# BMP-style entries (not PNG-compressed) so every icon loader reads them.
convert "$tmp/icon32.png" "$tmp/icon16.png" -define icon:format=bmp "$here/pelorin.ico"
