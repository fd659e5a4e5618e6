#!/bin/sh
# Draws the program's two icons with ImageMagick: a blue rounded square holding a white
# downward arrow over a bar (an image going into the device). 107 is the large icon (48, 32
# and 16 pixels), 108 the small one (16 pixels). The same drawings, at those sizes and at 64
# and 128 pixels for software centres, are the Linux window's and desktop entry's icons
# (linux/icons/vqr03-SIZE.png). Run from this folder; the .ico and .png files are committed,
# so the build does not need ImageMagick.
set -eu

draw() {  # size output
  s=$1
  convert -size "${s}x${s}" xc:none \
    -fill '#1f5fbf' -draw "roundrectangle 0,0 $((s - 1)),$((s - 1)) $((s / 5)),$((s / 5))" \
    -fill white \
    -draw "rectangle $((s * 7 / 16)),$((s * 3 / 16)) $((s * 9 / 16 - 1)),$((s * 9 / 16))" \
    -draw "polygon $((s * 4 / 16)),$((s * 8 / 16)) $((s * 12 / 16 - 1)),$((s * 8 / 16)) $((s / 2)),$((s * 12 / 16))" \
    -draw "rectangle $((s * 3 / 16)),$((s * 13 / 16)) $((s * 13 / 16 - 1)),$((s * 14 / 16))" \
    "$2"
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for s in 16 32 48 64 128; do draw "$s" "$tmp/$s.png"; done
convert "$tmp/48.png" "$tmp/32.png" "$tmp/16.png" vqr03.ico
convert "$tmp/16.png" vqr03_small.ico
mkdir -p linux/icons
for s in 16 32 48 64 128; do
  # Without the time chunks, so that drawing again gives the same bytes.
  convert "$tmp/$s.png" -define png:exclude-chunks=date,time "PNG32:linux/icons/vqr03-$s.png"
done
