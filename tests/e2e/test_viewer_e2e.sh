#!/usr/bin/env bash
# End-to-end: the viewer on a virtual X server finds the simulated dongle by
# itself and shows its moving test picture letterboxed on dark grey, with
# either protocol generation; closed by its window's close button or by
# SIGTERM it says goodbye to the dongle and exits with 0 within a second.
#
#   test_viewer_e2e.sh VIEWER SIMULATOR X11_PROBE
#
# Opens sockets: runs only inside a private network namespace (re-executes
# itself through scripts/in-netns when started outside one).
set -uo pipefail

viewer=${1:?usage: test_viewer_e2e.sh VIEWER SIMULATOR X11_PROBE}
sim=${2:?usage: test_viewer_e2e.sh VIEWER SIMULATOR X11_PROBE}
probe=${3:?usage: test_viewer_e2e.sh VIEWER SIMULATOR X11_PROBE}
here=$(cd "$(dirname "$0")" && pwd)

mine=$(readlink /proc/self/ns/net 2>/dev/null || true)
init=$(readlink /proc/1/ns/net 2>/dev/null || true)
if [ -z "${KAVRI_E2E_NETNS:-}" ] && { [ -z "$mine" ] || [ -z "$init" ] || [ "$mine" = "$init" ]; }; then
  # Not provably in a namespace of our own: go through one (once).
  KAVRI_E2E_NETNS=1 exec "$here/../../scripts/in-netns" "$0" "$@"
fi

for tool in Xvfb; do
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

# How long the viewer may take to end once asked (sanitizer builds are slower).
limit=${KAVRI_E2E_EXIT_LIMIT_MS:-1000}
# The address sanitizer's runtime must otherwise come first of all libraries.
[ -n "${KAVRI_E2E_VIEWER_PRELOAD:-}" ] && export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Waits until the window shows the test picture with a frame number other
# than $1; sets `frame` to that number.
wait_picture() {
  local not=$1 deadline=$(( $(now_ms) + 40000 )) out
  while :; do
    out=$("$probe" check "KAVRI Viewer" 1280 720 "$work/shot.ppm")
    if [ $? -eq 0 ] && [ "${out#frame }" != "$not" ]; then frame=${out#frame }; return 0; fi
    kill -0 "$viewer_pid" 2>/dev/null || fail "viewer died: $(tail -5 "$work/viewer.out")"
    [ "$(now_ms)" -lt $deadline ] || fail "picture never right: $out"
    sleep 0.2
  done
}

# run_case PROTOCOL HOW: HOW is "window" (the close button) or "sigterm".
run_case() {
  local proto=$1 how=$2
  : >"$work/sim.log"
  "$sim" --bind 127.0.0.2 --protocol "$proto" --size 1280x720 --log "$work/sim.log" \
    >"$work/sim.out" 2>&1 </dev/null &
  sim_pid=$!
  XDG_DATA_HOME="$work/xdg" LD_PRELOAD="${KAVRI_E2E_VIEWER_PRELOAD:-}" "$viewer" >"$work/viewer.out" 2>&1 </dev/null &
  viewer_pid=$!

  local first
  wait_picture none; first=$frame
  wait_picture "$first"
  echo "protocol $proto: picture right, frames $first then $frame"

  local start rc
  start=$(now_ms)
  if [ "$how" = window ]; then
    "$probe" close "KAVRI Viewer" || fail "could not close the window"
  else
    kill -TERM "$viewer_pid"
  fi
  while kill -0 "$viewer_pid" 2>/dev/null; do
    [ $(( $(now_ms) - start )) -le $limit ] || fail "viewer still running $limit ms after $how close"
    sleep 0.02
  done
  wait "$viewer_pid"; rc=$?
  local elapsed=$(( $(now_ms) - start ))
  viewer_pid=
  [ $rc -eq 0 ] || fail "viewer exit code $rc after $how close"
  echo "protocol $proto: $how close, exit code 0 after $elapsed ms"

  # The dongle saw the link go: the goodbye message with protocol 2, the
  # control stream closing with protocol 1.
  local want='"ev":"disconnect"'
  [ "$proto" = 1 ] && want='"why":"control stream closed"'
  local deadline=$(( $(now_ms) + 3000 ))
  until grep -q "$want" "$work/sim.log"; do
    [ "$(now_ms)" -lt $deadline ] || fail "simulator never logged $want"
    sleep 0.05
  done
  kill -TERM "$sim_pid"; wait "$sim_pid" 2>/dev/null; sim_pid=
}

run_case 2 window
run_case 1 sigterm
echo "PASS"
