#!/usr/bin/env bash
# End-to-end: the viewer on a virtual X server finds the simulated dongle by
# itself, shows its colour bars letterboxed on dark grey, and on SIGTERM says
# goodbye to the dongle and exits with 0 within a second.
#
#   test_viewer_e2e.sh VIEWER SIMULATOR
#
# Opens sockets: runs only inside a private network namespace (re-executes
# itself through scripts/in-netns when started outside one).
set -uo pipefail

viewer=${1:?usage: test_viewer_e2e.sh VIEWER SIMULATOR}
sim=${2:?usage: test_viewer_e2e.sh VIEWER SIMULATOR}
here=$(cd "$(dirname "$0")" && pwd)

mine=$(readlink /proc/self/ns/net 2>/dev/null || true)
init=$(readlink /proc/1/ns/net 2>/dev/null || true)
if [ -z "${KAVRI_E2E_NETNS:-}" ] && { [ -z "$mine" ] || [ -z "$init" ] || [ "$mine" = "$init" ]; }; then
  # Not provably in a namespace of our own: go through one (once).
  KAVRI_E2E_NETNS=1 exec "$here/../../scripts/in-netns" "$0" "$@"
fi

for tool in Xvfb xdotool import convert; do
  command -v $tool >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kavri-e2e.XXXXXX)
xvfb_pid= sim_pid= viewer_pid=
cleanup() {
  for p in $viewer_pid $sim_pid $xvfb_pid; do
    kill -TERM "$p" 2>/dev/null && wait "$p" 2>/dev/null
  done
  if [ "${keep:-0}" = 1 ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; keep=1; exit 1; }

# A display number nobody uses.
display=
for n in $(seq 90 199); do
  if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then display=$n; break; fi
done
[ -n "$display" ] || fail "no free X display"
Xvfb :$display -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -e /tmp/.X11-unix/X$display ] && break; sleep 0.05; done
[ -e /tmp/.X11-unix/X$display ] || fail "Xvfb did not start"
export DISPLAY=:$display

# The settings file lists 127.0.0.0/24 as an extra network, so the scan
# reaches the simulator on 127.0.0.2.
mkdir -p "$work/xdg/KAVRI/KAVRIViewer"
printf '\xAF\x23\xC0\x3B\x01\x00\x00\x00\x7F\x00\x00\x00\x09\xBA\xDC\xFE' \
  >"$work/xdg/KAVRI/KAVRIViewer/setting.dat"

"$sim" --bind 127.0.0.2 --protocol 2 --size 1280x720 --log "$work/sim.log" \
  >"$work/sim.out" 2>&1 </dev/null &
sim_pid=$!
XDG_DATA_HOME="$work/xdg" "$viewer" >"$work/viewer.out" 2>&1 </dev/null &
viewer_pid=$!

# The expected colours of the bars (75 % bars: 191 or 0 per channel), left to
# right, and of the letterbox (0.1 grey).
bars=("191 191 191" "191 191 0" "0 191 191" "0 191 0" "191 0 191" "191 0 0" "0 0 191" "0 0 0")
grey="26 26 26"
tolerance=8

near() { # "r g b" "r g b"
  local a=($1) b=($2) i d
  for i in 0 1 2; do
    d=$(( a[i] - b[i] )); [ $d -lt 0 ] && d=$(( -d ))
    [ $d -le $tolerance ] || return 1
  done
}

# Checks one screenshot; prints what is wrong and returns 1 when it is not
# the expected picture yet.
check_shot() {
  local wid geo wx wy ww wh
  wid=$(xdotool search --name "KAVRI Viewer" 2>/dev/null | head -1)
  [ -n "$wid" ] || { echo "no window"; return 1; }
  geo=$(xdotool getwindowgeometry --shell "$wid") || return 1
  wx=$(sed -n 's/^X=//p' <<<"$geo"); wy=$(sed -n 's/^Y=//p' <<<"$geo")
  ww=$(sed -n 's/^WIDTH=//p' <<<"$geo"); wh=$(sed -n 's/^HEIGHT=//p' <<<"$geo")
  import -display "$DISPLAY" -window root png:- >"$work/shot.png" 2>/dev/null || { echo "no screenshot"; return 1; }
  # The picture fitted into the window, centred (1280 x 720 source).
  local dw dh rx ry
  if [ $(( ww * 720 )) -le $(( wh * 1280 )) ]; then dw=$ww; dh=$(( ww * 720 / 1280 ));
  else dh=$wh; dw=$(( wh * 1280 / 720 )); fi
  rx=$(( (ww - dw) / 2 )); ry=$(( (wh - dh) / 2 ))
  local points=() i
  for i in 0 1 2 3 4 5 6 7; do
    points+=("$(( wx + rx + (2 * i + 1) * dw / 16 )),$(( wy + ry + dh * 45 / 100 ))")
  done
  if [ $ry -gt 4 ]; then points+=("$(( wx + ww / 2 )),$(( wy + ry / 2 ))")
  elif [ $rx -gt 4 ]; then points+=("$(( wx + rx / 2 )),$(( wy + wh / 2 ))")
  else echo "no letterbox in a ${ww}x${wh} window"; return 1; fi
  local fmt="" p
  for p in "${points[@]}"; do
    fmt+="%[fx:round(255*p{$p}.r)] %[fx:round(255*p{$p}.g)] %[fx:round(255*p{$p}.b)]\n"
  done
  mapfile -t got < <(convert "$work/shot.png" -format "$fmt" info:)
  local bad=""
  for i in 0 1 2 3 4 5 6 7; do
    near "${got[i]}" "${bars[i]}" || bad+=" bar $i: got (${got[i]}) want (${bars[i]});"
  done
  near "${got[8]}" "$grey" || bad+=" letterbox: got (${got[8]}) want ($grey);"
  [ -z "$bad" ] || { echo "$bad"; return 1; }
}

deadline=$(( $(date +%s) + 40 ))
last=""
until last=$(check_shot); do
  kill -0 $viewer_pid 2>/dev/null || fail "viewer died: $(tail -5 "$work/viewer.out")"
  [ "$(date +%s)" -lt $deadline ] || fail "picture never right:$last"
  sleep 0.5
done
echo "picture ok"

# SIGTERM: exit code 0 within one second.
kill -TERM $viewer_pid
start=$(date +%s%N)
while kill -0 $viewer_pid 2>/dev/null; do
  [ $(( ($(date +%s%N) - start) / 1000000 )) -le 1000 ] || fail "viewer still running 1 s after SIGTERM"
  sleep 0.02
done
wait $viewer_pid; rc=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
viewer_pid=
[ $rc -eq 0 ] || fail "viewer exit code $rc"
echo "viewer exited with 0 after ${elapsed} ms"

# The dongle heard the goodbye.
for _ in $(seq 40); do grep -q '"ev":"disconnect"' "$work/sim.log" && break; sleep 0.05; done
grep -q '"ev":"disconnect"' "$work/sim.log" || fail "no disconnect in the simulator's log"
echo "PASS"
