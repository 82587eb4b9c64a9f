#!/usr/bin/env bash
# End-to-end: the connection screen of the viewer on a virtual X server, driven
# with the X test extension's pointer and keys, against simulated dongles
# whose event logs tell what reached them. One viewer per scenario:
#   secured     a wrong password comes back to an empty field, the right one
#               brings the moving picture; the window's close button ends the
#               viewer, which says goodbye to the dongle;
#   no-video    the no-video panel, whose button leads back to the list;
#   five        five dongles: the list pop-up scrolls with the wheel and keeps
#               its scroll when closed and opened again;
#   typed       with nothing found the chevron opens nothing; a dongle the
#               scan does not reach, typed in by address, streams with the
#               first protocol generation; SIGTERM ends the viewer, which
#               closes its control stream;
#   firmware    a dongle with old firmware: the new-firmware notice, once per run.
# KAVRI_E2E_SCENARIOS="five typed" runs only those (when looking into one).
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin "$0" "$@"

title="KAVRI Viewer"
started=$(now_ms)
# The 800x600 window, and the top-left corner P of the panel centred in it.
W=800 H=600 PX=205 PY=218.5 why=

# A viewer with the settings of XDG (default: the one that scans 127.0.0.0/24).
viewer_at_panel() {
  e2e_viewer ${1:+"$1"}
  e2e_wait 10000 "the window is not 800x600" e2e_size_is 800 600
  park
}
# end_scenario [HOW SIM WORDS]: asked to end with SIGTERM or the window's
# close button (HOW "window"), the viewer exits with 0 in time, and SIM logs
# WORDS (its goodbye); then every simulator stops.
end_scenario() {
  if [ "${1:-}" = window ]; then "$probe" close "$title" || fail "could not close the window"; else kill -TERM "$viewer_pid"; fi
  e2e_viewer_ends "${1:-SIGTERM} close"
  [ -z "${2:-}" ] || await_log "$2" 3000 "$3"
  e2e_stop "${e2e_pids[@]}" # every simulator
  e2e_pids=()
}

# at DX DY: window coordinates of P + (DX, DY); rect DX DY W H.
at() { awk -v x="$1" -v y="$2" -v px="$PX" -v py="$PY" 'BEGIN { printf "%d %d", int(px + x), int(py + y) }'; }
rect() { echo "$(at "$1" "$2") $3 $4"; }
# Clicks and keys go to the window under the pointer (no window manager).
move_to() { xdotool mousemove --window "$wid" "$1" "$2"; e2e_pause 0.2; }
park() { move_to 20 $(( H - 20 )); }   # over the photograph, touching nothing
click() { xdotool click 1; }
shoot() { "$probe" save "$title" "$work/$1.ppm" >/dev/null; }

# await WHAT MS PREDICATE [ARGS]: polls grabs until PREDICATE holds for one
# (kept as $work/WHAT.ppm); the predicate leaves its reason in `why`.
# hold WHAT MS PREDICATE: the predicate keeps holding for MS milliseconds.
grab_holds() { why=; shoot "$1" && "${@:2}" "$work/$1.ppm"; }
await() { e2e_poll "$2" grab_holds "$1" "${@:3}" || fail "$1: not seen within $2 ms: $why"; }
grab_fails() { ! grab_holds "$@"; }
hold() { ! e2e_poll "$2" grab_fails "$1" "${@:3}" || fail "$1: $why"; }
await_log() { e2e_wait "$2" "$1 never logged $3" grep -Eq "$3" "$work/$1.log"; }

# What a grab shows: white text in a rectangle ("N X0 Y0 X1 Y1").
white_in() { local f=$1; shift; "$probe" count "@$f" "$@" 255 255 255 "${WHITE_TOL:-30}"; }
# Which panel shows, told by the width of its white title above the panel
# ("Connect to KAVRI Viewer" ~385, "No Video Output" ~250 pixels wide).
title_is() { # MIN MAX FILE
  local n x0 y0 x1 y1
  read -r n x0 y0 x1 y1 < <(white_in "$3" 0 118 "$W" 82)
  [ "$n" -ge 50 ] && [ $(( x1 - x0 + 1 )) -ge "$1" ] && [ $(( x1 - x0 + 1 )) -le "$2" ] && return 0
  why="title $(( x1 - x0 + 1 )) px wide ($n pixels), want $1..$2"; return 1
}
server_list() { title_is 300 420 "$1"; }
no_video_panel() { title_is 200 300 "$1"; }
caret_shown() { # the field took the keyboard: a caret, nothing else
  local n x0 y0 x1 y1
  read -r n x0 y0 x1 y1 < <(WHITE_TOL=40 white_in "$1" $(rect 62 4 206 49))
  [ "$n" -ge 6 ] && [ $(( x1 - x0 )) -le 2 ] && return 0
  why="no caret: $n text pixels in $x0,$y0..$x1,$y1"; return 1
}
picture_shown() { # the test picture, its frame number other than the last seen
  local out
  out=$("$probe" check "$title" 1280 720 "$1") || { why="picture: $out"; return 1; }
  [ "$out" != "${seen:-}" ] || { why="the picture stays at $out"; return 1; }
  seen=$out
}

# The rows of the list pop-up (left of the invisible buttons' right edge)
# against those of an earlier grab.
rows_equal() { local out; out=$("$probe" compare "@$2" "@$1" $(rect 0 60 328 171) 12) || { why="rows differ: $out"; return 1; }; }
rows_differ() { ! rows_equal "$@" || { why="rows unchanged"; return 1; }; }
# rows_steady NAME: for 1.5 s the rows stay as in a first grab, NAME.ppm.
rows_steady() {
  shoot "$1" || fail "$1: no grab"
  hold "$1-again" 1500 rows_equal "$work/$1.ppm"
}
open_popup() { # the chevron at the bar's right, then the pointer over the pop-up
  move_to $(at 299.5 28.5); click
  move_to $(at 355 90)
}

# The modal notice: a dark frame centred on the window with its button in the
# lower part; leaves the button's centre in `ok_at`.
dark_frame() { "$probe" count "@$1" 0 0 "$W" "$H" 24 26 27 10; }
notice_shown() {
  local n x0 y0 x1 y1 b bx0 by0 bx1 by1
  read -r n x0 y0 x1 y1 < <(dark_frame "$1")
  [ "$n" -ge 10000 ] || { why="no notice frame ($n dark pixels)"; return 1; }
  read -r b bx0 by0 bx1 by1 < <("$probe" count "@$1" "$x0" $(( y1 - 60 )) $(( x1 - x0 + 1 )) 61 42 76 116 10)
  [ "$b" -ge 200 ] || { why="no notice button ($b pixels)"; return 1; }
  ok_at="$(( (bx0 + bx1) / 2 )) $(( (by0 + by1) / 2 ))"
}
no_notice() { [ "$(dark_frame "$1" | cut -d' ' -f1)" -lt 2000 ] || { why="a notice shows"; return 1; }; }

# ---------------------------------------------------------------------------

secured() {
  e2e_sim sec --bind 127.0.0.2 --password secret
  viewer_at_panel
  await_log sec 20000 '"ev":"connect".*"has_password":0.*"result":1'
  local pw
  for pw in wrong secret; do
    # The field has the keyboard as the panel appears, and again when the
    # dongle asks anew: typing needs no click.
    await "$pw-caret" 20000 caret_shown
    xdotool type --delay 60 "$pw"
    xdotool key Return
    park
  done
  await_log sec 20000 '"ev":"connect".*"password":"wrong".*"result":1'
  await_log sec 20000 '"ev":"connect".*"password":"secret".*"result":0'
  await picture 30000 picture_shown
  await moving 10000 picture_shown
  end_scenario window sec '"ev":"disconnect"'
}

no_video() {
  e2e_sim nov --bind 127.0.0.2 --no-video
  viewer_at_panel
  await_log nov 20000 '"ev":"connect".*"result":0'
  await no-video 20000 no_video_panel
  move_to $(at 195 134.5); click
  park
  await back-to-list 10000 server_list
  end_scenario
}

five() {
  local i
  for i in 2 3 4 5 6; do e2e_sim d$i --bind 127.0.0.$i --refuse; done
  viewer_at_panel
  for i in 2 3 4 5 6; do await_log d$i 20000 '"ev":"probe"'; done
  await idle 20000 server_list
  open_popup
  await opened 10000 rows_differ "$work/idle.ppm"
  rows_steady top
  xdotool click 5
  await scrolled 10000 rows_differ "$work/top.ppm"
  rows_steady scrolled
  # Closed by a click beside it, opened again: the same rows.
  park; click
  await closed 10000 rows_equal "$work/idle.ppm"
  open_popup
  await reopened 10000 rows_equal "$work/scrolled.ppm"
  rows_steady reopened
  end_scenario
}

typed() {
  # A dongle typed in has no firmware version, so it is reached with the
  # first protocol generation. Without extra networks no scan reaches it.
  e2e_sim typed --bind 127.0.3.7 --protocol 1
  mkdir -p "$work/xdg-none"
  viewer_at_panel "$work/xdg-none"
  await idle 20000 server_list
  move_to $(at 299.5 28.5); click; park
  hold nothing-opens 1000 rows_equal "$work/idle.ppm"
  ! e2e_poll 1500 grep -Eq '"ev":"(probe|connect)"' "$work/typed.log" || fail "the scan reached 127.0.3.7"

  move_to $(at 150 28.5)
  xdotool click --repeat 2 --delay 80 1
  await editor-caret 10000 caret_shown
  xdotool type --delay 60 127.0.3.7
  xdotool key Return
  await_log typed 20000 '"ev":"connect".*"proto":1'
  await_log typed 20000 '"ev":"auth".*"result":1'
  park
  await picture 30000 picture_shown
  await moving 10000 picture_shown
  end_scenario SIGTERM typed '"why":"control stream closed"'
}

firmware() {
  e2e_sim old --bind 127.0.0.2 --build 240427225355 --refuse
  viewer_at_panel
  await_log old 20000 '"ev":"probe"'
  await notice 20000 notice_shown
  move_to $ok_at; click
  park
  await closed 10000 no_notice
  # A rescan finds the dongle again; the notice stays away.
  local probes
  probes=$(grep -c '"ev":"probe"' "$work/old.log")
  move_to $(at 361.5 28.5); click
  park
  more_probes() { [ "$(grep -c '"ev":"probe"' "$work/old.log")" -gt "$probes" ]; }
  e2e_wait 20000 "the rescan never reached the simulator" more_probes
  hold after-rescan 3000 no_notice
  end_scenario
}

for s in ${KAVRI_E2E_SCENARIOS:-secured no_video five typed firmware}; do
  t=$(now_ms)
  "$s"
  echo "ok: $s ($(( $(now_ms) - t )) ms)"
done
echo "total $(( $(now_ms) - started )) ms"
