#!/usr/bin/env bash
# Draws the connection screen's background photograph and the five icons with
# ImageMagick 6 (`convert`). The results are kept in the tree; run this only to
# change the pictures, then look at them and keep the new files.
#
#   resources/make-images.sh            writes into resources/
#   resources/make-images.sh OUTDIR     writes into OUTDIR
#
# Everything here is our own drawing: soft gradients and plain shapes, no text.
# The icons are white with their shape in the alpha channel, so the interface
# can tint them; they are drawn 8 times larger and scaled down for smooth edges.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# No time stamps or comments in the files, so that a rerun gives the same bytes.
png_opts=(-strip -define png:exclude-chunks=date,time -define png:compression-level=9)

# ---------------------------------------------------------------------------
# Background photograph, 4096 x 3112 JPEG: a desk with a monitor, a keyboard
# and a small dongle under a warm lamp. Drawn at a quarter of the size and
# scaled up, which keeps every edge soft (the screen shows it blurred anyway)
# and the file small. It is stored upside down: the blur behind the connection
# screen renders into textures whose rows run bottom up, and its three passes
# turn the picture over once in all, so it shows upright there.
w=1024 h=778
convert -size ${w}x520 gradient:'#2c3a4c'-'#5e6673' "$work/wall.png"
convert -size ${w}x258 gradient:'#7a5238'-'#3e281a' "$work/desk.png"
convert -size 376x238 gradient:'#3f86c4'-'#16324f' "$work/screen.png"
convert -size 760x760 radial-gradient:'#5e4c34'-black "$work/lamp.png"
convert -size ${w}x${h} xc:none -fill '#7fc0ff' -draw "roundrectangle 290,128 734,442 40,40" \
        -blur 0x28 -channel A -evaluate multiply 0.45 +channel "$work/glow.png"
convert -size ${w}x${h} xc:none -fill '#00000070' -draw "ellipse 512,600 330,34 0,360" \
        -blur 0x14 "$work/shadow.png"

convert -size ${w}x${h} xc:black \
        "$work/wall.png" -geometry +0+0 -composite \
        "$work/desk.png" -geometry +0+520 -composite \
        "$work/lamp.png" -geometry -200-290 -compose screen -composite -compose over \
        "$work/glow.png" -composite \
        "$work/shadow.png" -composite \
        -fill '#9c7052' -draw "rectangle 0,518 $((w - 1)),523" \
        -fill '#15181d' -draw "roundrectangle 312,150 712,420 12,12" \
        "$work/screen.png" -geometry +324+162 -composite \
        -fill '#ffffff18' -draw "polygon 324,162 560,162 420,400 324,400" \
        -fill '#1b1e23' -draw "rectangle 496,420 528,498" \
        -fill '#22262c' -draw "ellipse 512,502 92,12 0,360" \
        -fill '#c8ccd3' -draw "roundrectangle 372,560 652,604 8,8" \
        -fill '#aeb3bb' -draw "rectangle 384,570 640,594" \
        -fill '#d2d5da' -draw "ellipse 712,584 22,14 0,360" \
        -fill '#1f2329' -draw "roundrectangle 760,540 812,558 4,4" \
        -fill '#6de08a' -draw "circle 802,549 805,549" \
        -blur 0x1.2 -flip \
        -filter Triangle -resize 4096x3112! \
        -strip -interlace none -sampling-factor 2x2 -quality 85 \
        "$out/background.jpg"

# ---------------------------------------------------------------------------
# Icons. Each mask is white-on-black at 8x; `-alpha shape` turns it into white
# pixels whose alpha is the mask. Strokes are drawn as single round-capped
# lines: this ImageMagick closes stroked polylines and paths with fill none.
icon() { # name width height draw-arguments...
    local name=$1 iw=$2 ih=$3
    shift 3
    convert -size $((iw * 8))x$((ih * 8)) xc:black -fill none -stroke white "$@" \
            -filter Box -resize ${iw}x${ih}! "$work/$name-mask.png"
    convert "$work/$name-mask.png" -colorspace gray -background white -alpha shape \
            "${png_opts[@]}" "PNG32:$out/icon_$name.png"
}

# MVG for a stroked circular arc (centre, radius, start and end angle in
# degrees, clockwise from +x as y runs down), made of short round-capped lines.
arc() {
    awk -v cx="$1" -v cy="$2" -v r="$3" -v a0="$4" -v a1="$5" 'BEGIN {
        printf "stroke-linecap round"
        for (i = 0; i <= 24; i++) {
            a = (a0 + (a1 - a0) * i / 24) * 3.14159265358979 / 180
            p = sprintf("%.1f,%.1f", cx + r * cos(a), cy + r * sin(a))
            if (i) printf " line %s %s", q, p
            q = p
        }
    }'
}
lines() { # x0,y0 x1,y1 ...: round-capped lines joining the points in turn
    local mvg="stroke-linecap round" prev=
    for p in "$@"; do
        [ -n "$prev" ] && mvg+=" line $prev $p"
        prev=$p
    done
    echo "$mvg"
}

# Device icon 17 x 18: a stick-shaped dongle under a dot and two signal arcs.
icon device 17 18 \
     -strokewidth 12 -draw "roundrectangle 46,84 90,136 8,8" \
     -fill white -stroke none -draw "rectangle 54,136 82,143" -draw "circle 68,62 68,70" \
     -fill none -stroke white -strokewidth 10 \
     -draw "$(arc 68 64 26 225 315)" \
     -draw "$(arc 68 64 48 225 315)"

# Chevron 8 x 5: pointing down.
icon chevron 8 5 -strokewidth 10 -draw "$(lines 7,7 32,32 57,7)"

# Rescan 22 x 22: two circular arrows chasing each other round a circle.
icon rescan 22 22 \
     -strokewidth 14 \
     -draw "$(arc 88 88 56 200 328)" \
     -draw "$(arc 88 88 56 20 148)" \
     -fill white -stroke none \
     -draw "polygon 155,45 149,81 114,69" \
     -draw "polygon 21,131 27,95 62,107"

# Back arrow 16 x 15 and forward arrow (its mirror image).
icon back 16 15 \
     -strokewidth 14 -draw "$(lines 26,60 116,60)" \
     -draw "$(lines 62,20 24,60 62,100)"
convert "$out/icon_back.png" -flop "${png_opts[@]}" "PNG32:$out/icon_forward.png"
