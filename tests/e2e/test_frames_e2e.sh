#!/usr/bin/env bash
# End-to-end: while pictures stream and nobody touches the UI, the viewer's
# window is drawn once per new picture and at no other time. The buffer swaps
# are counted (count_swaps.c, preloaded) between two statistics lines and
# compared with the pictures drawn that the second line reports.
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin "$0" "$@"
shim=$(dirname "$probe")/libkavri_count_swaps.so
[ -f "$shim" ] || fail "missing $shim"

e2e_sim p2 --bind 127.0.0.2 --protocol 2 --size 1280x720 --fps 30
KAVRI_SWAP_COUNT=$work/swaps KAVRI_E2E_VIEWER_PRELOAD="${KAVRI_E2E_VIEWER_PRELOAD:-} $shim" e2e_viewer
e2e_wait 40000 "picture never right" e2e_showing_picture

lines() { grep -c '^stream:' "$work/viewer.out"; }
line_after() { [ "$(lines)" -gt "$1" ]; }
swaps() { tr -dc 0-9 <"$work/swaps" | sed 's/^0*//;s/^$/0/'; }
# Let lines pass (the window mapped, the pointer entered: no input since),
# then count the swaps of the third line's five seconds.
n=$(lines)
for _ in 1 2 3; do
  e2e_wait 20000 "no statistics line" line_after "$n"
  s1=${s2:-0} s2=$(swaps) n=$(lines)
done
line=$(grep '^stream:' "$work/viewer.out" | sed -n "$n p")
echo "$line"
# Five seconds of the rates "N decoded, M drawn per second".
read -r decoded drawn < <(awk '{ for (i = 2; i <= NF; i++) if ($i ~ /^(decoded,|drawn)$/) printf "%.0f ", $(i - 1) * 5 }' <<<"$line")
swapped=$(( s2 - s1 ))
echo "swaps $swapped, pictures drawn $drawn, decoded $decoded"
[ "${drawn:-0}" -gt 0 ] || fail "no picture drawn: $line"
# The lines come every 5 s give or take a frame, and are read up to 50 ms late.
[ $(( swapped - drawn )) -le 4 ] && [ $(( drawn - swapped )) -le 4 ] ||
  fail "$swapped swaps for $drawn pictures drawn"
[ "$drawn" -le $(( decoded + 2 )) ] || fail "more pictures drawn ($drawn) than decoded ($decoded)"
