#!/usr/bin/env bash
# Regenerates the H.264 fixtures of tests/unit/test_sps_pps.cpp.
#
# Each fixture is the head of a one-picture stream made by ffmpeg with libx264
# from a synthetic test pattern: every byte up to and including the header
# byte of the first slice NAL unit (the parameter sets and whatever sits
# between them and the picture), so the files stay a few hundred bytes.
# SEI units are stripped (libx264 writes a long version banner) except in the
# *_sei fixture, which keeps it between the PPS and the slice.
#
# fixtures.txt records, per fixture, the size it was made with, what ffprobe
# reports for the whole stream (size, profile, level) and where each NAL unit
# of the head starts, found by a plain start-code search here; the tests hold
# the parser and the locator against these independent values.
#
# Needs ffmpeg/ffprobe built with libx264 (8- and 10-bit) and python3.
# Usage: tests/data/h264/make-fixtures.sh   (writes next to itself)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
manifest="$here/fixtures.txt"

# The scaling lists (JM's file format): chroma takes its luma list plus one.
cqm() { # NAME VALUES...
  local name=$1 l c
  shift
  l=$(tr ' ' ',' <<<"$*")
  c=$(tr ' ' '\n' <<<"$*" | awk '{ printf "%s%d", (NR > 1 ? "," : ""), $1 + 1 }')
  printf '%s_LUMA =\n%s\n' "$name" "$l"
  printf '%s_CHROMAU =\n%s\n%s_CHROMAV =\n%s\n' "$name" "$c" "$name" "$c"
}
{
  cqm INTRA4X4 6 13 20 28 13 20 28 32 20 28 32 37 28 32 37 42
  cqm INTER4X4 10 14 20 24 14 20 24 27 20 24 27 30 24 27 30 34
  cqm INTRA8X8 6 10 13 16 18 23 25 27 10 11 16 18 23 25 27 29 13 16 18 23 25 27 29 31 16 18 23 25 27 29 31 33 \
    18 23 25 27 29 31 33 36 23 25 27 29 31 33 36 38 25 27 29 31 33 36 38 40 27 29 31 33 36 38 40 42
  cqm INTER8X8 9 13 15 17 19 21 22 24 13 13 17 19 21 22 24 25 15 17 19 21 22 24 25 27 17 19 21 22 24 25 27 28 \
    19 21 22 24 25 27 28 30 21 22 24 25 27 28 30 32 22 24 25 27 28 30 32 33 24 25 27 28 30 32 33 35
} >"$work/cqm.txt"

{
  echo "# Written by make-fixtures.sh; one fixture per line:"
  echo "# file made=WxH probe=WxH profile=profile_idc level=level_idc nals=start:header:type,..."
} > "$manifest"

# make NAME WxH KEEP_SEI(0/1) [encoder options...]
make() {
  local name=$1 size=$2 keep_sei=$3
  shift 3
  local bsf=(-bsf:v filter_units=remove_types=6)
  [ "$keep_sei" = 1 ] && bsf=()
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v 1 \
         -c:v libx264 "$@" "${bsf[@]}" -f h264 "$work/$name.full"
  local probe
  probe=$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height,profile,level \
                  -of default=nw=1 "$work/$name.full")
  python3 - "$work/$name.full" "$here/$name.264" "$name.264" "$size" "$probe" >> "$manifest" <<'PY'
import sys
src, dst, name, made, probe = sys.argv[1:6]
data = open(src, 'rb').read()
# Start codes by a plain search: 00 00 01, with a leading 00 making it four bytes.
nals = []
i = 0
while True:
    i = data.find(b'\x00\x00\x01', i)
    if i < 0 or i + 3 >= len(data):
        break
    start = i - 1 if i > 0 and data[i - 1] == 0 else i
    nals.append((start, i + 3, data[i + 3] & 0x1F))
    i += 3
slice_hdr = next(h for s, h, t in nals if t in (1, 5))
open(dst, 'wb').write(data[:slice_hdr + 1])
info = dict(line.split('=', 1) for line in probe.splitlines())
profiles = {'Baseline': 66, 'Constrained Baseline': 66, 'Main': 77, 'High': 100, 'High 10': 110,
            'High 4:2:2': 122, 'High 4:2:2 Intra': 122, 'High 4:4:4 Predictive': 244}
print('%s made=%s probe=%sx%s profile=%d level=%s nals=%s' % (
    name, made, info['width'], info['height'], profiles[info['profile']], info['level'],
    ','.join('%d:%d:%d' % n for n in nals if n[1] <= slice_hdr)))
PY
}

make h264_1920x1080_high          1920x1080 0
make h264_1366x768_high           1366x768  0
make h264_1280x720_interlaced     1280x720  0 -flags +ildct+ilme -x264-params interlaced=1:tff=1
make h264_640x360_baseline        640x360   0 -profile:v baseline
make h264_640x360_baseline_sei    640x360   1 -profile:v baseline
make h264_854x478_high422         854x478   0 -pix_fmt yuv422p -profile:v high422
make h264_1000x562_high444_cqm    1000x562  0 -pix_fmt yuv444p -profile:v high444 -x264-params "cqmfile=$work/cqm.txt"
make h264_720x406_gray            720x406   0 -pix_fmt gray
# AVC-Intra is the one libx264 mode that codes its quantisation matrices in
# the SPS itself (elsewhere they go into the PPS); its head also opens with
# an access unit delimiter and has filler data before the slice.
make h264_1280x720_avcintra100    1280x720  0 -pix_fmt yuv422p10le -x264-params avcintra-class=100

cat "$manifest"
