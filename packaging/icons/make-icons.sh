#!/usr/bin/env bash
# Draws the application icon: a monitor with a pointer on its screen and a
# small dongle plugged in at its lower right, the green light on. Our own
# drawing of plain shapes, like the pictures in resources/ (make-images.sh).
#
#   packaging/icons/make-icons.sh          writes into packaging/icons/
#   packaging/icons/make-icons.sh OUTDIR   writes into OUTDIR
#
# One set of shapes on a 256 x 256 grid gives both the SVG and the PNGs
# (16 ... 256 px); the PNGs are drawn 4 times larger with ImageMagick 6 and
# scaled down for smooth edges. The results are kept in the tree; a rerun with
# the same ImageMagick writes the same bytes.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

png_opts=(-strip -define png:exclude-chunks=date,time -define png:compression-level=9)

# The shapes, one per line: kind colour coordinates...
#   rect COLOUR X0 Y0 X1 Y1 RADIUS   (corners inclusive)
#   poly COLOUR X,Y X,Y ...
#   circle COLOUR CX CY R
shapes='
rect #23272f 12 34 243 193 18
rect #2f6fa8 26 48 229 177 6
poly #4f8fc8 26,48 150,48 72,177 26,177
poly #ffffff 104,76 104,148 121,132 134,158 147,152 134,126 157,126
rect #3a404a 110 190 145 215 2
rect #4a515c 70 212 185 230 7
rect #9aa0a8 182 160 202 180 2
rect #e8eaee 196 150 250 190 7
circle #3ad26a 234 170 7
'

mvg=$work/icon.mvg
svg=$out/kavri-viewer.svg
{
    echo "affine 4 0 0 4 0 0"
    echo "stroke none"
} >"$mvg"
{
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">'
} >"$svg"
while read -r kind colour rest; do
    [ -z "$kind" ] && continue
    set -- $rest
    case $kind in
    rect)
        echo "fill '$colour' roundrectangle $1,$2 $3,$4 $5,$5" >>"$mvg"
        printf '  <rect x="%s" y="%s" width="%s" height="%s" rx="%s" fill="%s"/>\n' \
               "$1" "$2" $(($3 - $1 + 1)) $(($4 - $2 + 1)) "$5" "$colour" >>"$svg"
        ;;
    poly)
        echo "fill '$colour' polygon $*" >>"$mvg"
        printf '  <polygon points="%s" fill="%s"/>\n' "$*" "$colour" >>"$svg"
        ;;
    circle)
        echo "fill '$colour' circle $1,$2 $(($1 + $3)),$2" >>"$mvg"
        printf '  <circle cx="%s" cy="%s" r="%s" fill="%s"/>\n' "$1" "$2" "$3" "$colour" >>"$svg"
        ;;
    esac
done <<<"$shapes"
echo '</svg>' >>"$svg"

# (The MVG goes inline: the usual security policy forbids "@file" arguments.)
convert -size 1024x1024 xc:none -draw "$(cat "$mvg")" "$work/big.png"
for size in 16 32 48 64 128 256; do
    convert "$work/big.png" -filter Box -resize ${size}x${size} "${png_opts[@]}" \
            "PNG32:$out/kavri-viewer-$size.png"
done
