#!/usr/bin/env bash
# End-to-end: the viewer on a virtual X server finds the simulated dongle by
# itself and shows its moving test picture letterboxed on dark grey, with
# either protocol generation; closed by its window's close button or by
# SIGTERM it says goodbye to the dongle and exits with 0 within a second.
#
#   test_viewer_e2e.sh VIEWER SIMULATOR X11_PROBE
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin "$0" "$@"

# The frame number the stamp in the window shows, once the picture is right
# (colour bars in the letterbox rectangle, grey around) and differs from $1.
frame_differs_from() {
  local out
  out=$(e2e_showing_picture) || return 1
  [ "${out#frame }" != "$1" ] || return 1
  frame=${out#frame }
}

# run_case PROTOCOL HOW: HOW is "window" (the close button) or "sigterm".
run_case() {
  local proto=$1 how=$2
  e2e_sim p$proto --bind 127.0.0.2 --protocol "$proto" --size 1280x720
  e2e_viewer

  frame=
  e2e_poll 40000 frame_differs_from none || fail "picture never right: $(e2e_showing_picture 2>&1)"
  local first=$frame
  e2e_wait 10000 "the frame number stayed $first" frame_differs_from "$first"
  echo "protocol $proto: picture right, frames $first then $frame"

  local start=$(now_ms)
  if [ "$how" = window ]; then
    "$probe" close "KAVRI Viewer" || fail "could not close the window"
  else
    kill -TERM "$viewer_pid"
  fi
  e2e_viewer_ends "$how close"
  echo "protocol $proto: $how close, exit code 0 after $(( $(now_ms) - start )) ms"

  # The dongle saw the link go: the goodbye message with protocol 2, the
  # control stream closing with protocol 1.
  local want='"ev":"disconnect"'
  [ "$proto" = 1 ] && want='"why":"control stream closed"'
  e2e_wait 3000 "simulator never logged $want" grep -q "$want" "$work/p$proto.log"
  e2e_stop_sims
}

run_case 2 window
run_case 1 sigterm
echo "PASS"
