#!/usr/bin/env bash
# End-to-end: keyboard and mouse forwarding and the function menu. The viewer
# runs on a virtual X server against two simulated dongles; xdotool plays the
# operator and the simulators' logs tell what reached the target.
#
#   test_input_e2e.sh VIEWER SIMULATOR X11_PROBE
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin "$0" "$@"

e2e_sim a --bind 127.0.0.2 --protocol 2 --size 1280x720
e2e_sim b --bind 127.0.0.3 --protocol 2 --size 1280x720
e2e_viewer
e2e_wait 40000 "picture never shown" e2e_showing_picture

# Which simulator the viewer streams from: the one with the most recent
# session start.
current_sim() {
  local s best= best_t=0 t
  for s in a b; do
    t=$(grep '"ev":"start"' "$work/$s.log" | tail -1 | sed -n 's/.*"t":\([0-9]*\).*/\1/p')
    if [ -n "$t" ] && [ "$t" -gt "$best_t" ]; then best=$s best_t=$t; fi
  done
  echo "$best"
}
have_session() { [ -n "$(current_sim)" ]; }
e2e_wait 10000 "no session started" have_session
target=$(current_sim)
log="$work/$target.log"

# The reports the target received after line $1 of its log, one hex string a line.
reports_after() {
  tail -n +"$(( $1 + 1 ))" "$log" | sed -n 's/.*"ev":"input".*"report":"\([0-9a-f]*\)".*/\1/p'
}
lines() { wc -l <"$log"; }

window_size() {
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  win_w=$WIDTH win_h=$HEIGHT
}
forwarding_title="KAVRI Viewer - Ctrl+Right Click to release mouse from server"

# Two dongles found: Full Screen, Audio | Input | Target Device | Disconnect | Settings, About |
# Save Screenshot, Start Recording, Statistics.
ROW_INPUT="2 1" ROW_TARGET="3 2" ROW_DISCONNECT="4 3"

# --- Input on through the menu ------------------------------------------------
e2e_menu 400 300
e2e_menu_pick $ROW_INPUT
e2e_wait 3000 "title did not change to the forwarding title" e2e_title_is "$forwarding_title"
echo "input on: title changed"

# --- Typing ----------------------------------------------------------------------
mark=$(lines)
xdotool type --delay 60 "kavri"
want="0100000e0000000000 010000000000000000 010000040000000000 010000000000000000 010000190000000000 010000000000000000 010000150000000000 010000000000000000 0100000c0000000000 010000000000000000"
keyboard_reports() { reports_after "$mark" | grep '^01' | tr '\n' ' ' | sed 's/ $//'; }
typed() { [ "$(keyboard_reports)" = "$want" ]; }
e2e_poll 5000 typed || fail "keyboard reports: got '$(keyboard_reports)'"
echo "typing: ten keyboard reports in order"

# --- Mouse -----------------------------------------------------------------------
mark=$(lines)
xdotool mousemove_relative -- 30 20
sum_motion() {
  local dx=0 dy=0 r x y
  for r in $(reports_after "$mark" | grep '^02'); do
    x=$(( 16#${r:4:2} )) y=$(( 16#${r:6:2} ))
    [ $x -gt 127 ] && x=$(( x - 256 ))
    [ $y -gt 127 ] && y=$(( y - 256 ))
    dx=$(( dx + x )) dy=$(( dy + y ))
  done
  echo "$dx $dy"
}
moved() { [ "$(sum_motion)" = "30 20" ]; }
e2e_poll 5000 moved || fail "mouse motion: got $(sum_motion), want 30 20"
mark=$(lines)
xdotool click 1
buttons() { reports_after "$mark" | grep '^02' | cut -c3-4 | tr '\n' ' ' | sed 's/ $//'; }
clicked() { [ "$(buttons)" = "01 00" ]; }
e2e_poll 5000 clicked || fail "left click: button bytes '$(buttons)', want '01 00'"
echo "mouse: motion summed to 30,20; left click pressed and released"

# --- The target's pointer reaches every edge ---------------------------------------
# Relative mode hands the device's counts over as they are: three times the
# drawn picture's width to the right, in steps too small for any pointer
# acceleration, reaches the target (near) whole, though the local pointer
# could never cross the picture that far.
window_size
pic_w=$win_w
[ $(( win_w * 720 )) -gt $(( win_h * 1280 )) ] && pic_w=$(( win_h * 1280 / 720 ))
sweep=$(( 3 * pic_w )) steps=()
for _ in $(seq $(( sweep / 4 ))); do steps+=(mousemove_relative 4 0 sleep 0.004); done
mark=$(lines)
xdotool "${steps[@]}"
swept() { local m; m=$(sum_motion); [ $(( ${m% *} * 10 )) -ge $(( sweep * 9 )) ]; }
e2e_poll 10000 swept || fail "sweep of $sweep: the target's pointer moved $(sum_motion)"
e2e_pointer
echo "mouse: a sweep of $sweep (3 x $pic_w) moved the target's pointer $(sum_motion); local pointer at $ptr_x,$ptr_y"

# --- Left Ctrl + right click opens the menu, and the target sees no right button --
# While the menu is open the keys stay with the viewer: the Left Ctrl still
# held is let go on the target as the menu opens, and letters typed into the
# menu go nowhere else.
released_after_ctrl() { reports_after "$mark" | sed -n '/^010100/,$p' | grep -q '^010000000000000000$'; }
mark=$(lines)
xdotool keydown Control_L
e2e_pause 0.1
xdotool click 3
e2e_wait 3000 "left ctrl never reached the target" sh -c "tail -n +$(( mark + 1 )) '$log' | grep -q '\"report\":\"010100'"
e2e_wait 3000 "no all-released keyboard report when the menu opened" released_after_ctrl
xdotool keyup Control_L
e2e_wait 5000 "no menu after Left Ctrl + right click" e2e_menu_shown
if reports_after "$mark" | grep '^02' | cut -c3-4 | grep -q '^0[2367]'; then
  fail "a right-button report reached the target: $(reports_after "$mark" | tr '\n' ' ')"
fi
xdotool type --delay 60 qzx
e2e_pause 0.2
xdotool mousemove --window "$wid" 100 100 click 1  # beside the menu, high in the window: closes it, and the next menu opens here with room below
e2e_pause 0.2
xdotool type k  # the menu is closed: this one goes to the target
k_arrived() { reports_after "$mark" | grep -q '^0100000e'; }
e2e_wait 3000 "forwarding did not resume when the menu closed" k_arrived
letters=$(reports_after "$mark" | grep '^01' | cut -c7-18 | grep -v '^000000000000$' | grep -v '^0e0000000000$')
[ -z "$letters" ] || fail "keys typed into the menu reached the target: $letters"
echo "release gesture: Left Ctrl let go on the target as the menu opened; no right button, none of the letters"
e2e_pause 0.2
xdotool keydown Control_L
e2e_pause 0.1
xdotool click 3
e2e_pause 0.1
xdotool keyup Control_L
e2e_menu_wait
# The menu is open where the pointer is: turning input off from it proves it.
mark=$(lines)
e2e_menu_pick $ROW_INPUT
e2e_wait 3000 "title did not change back" e2e_title_is "KAVRI Viewer"
last_two() { reports_after "$mark" | tail -2 | tr '\n' ' ' | sed 's/ $//'; }
released() { [ "$(last_two)" = "010000000000000000 0200000000" ]; }
e2e_poll 3000 released || fail "input off: last reports '$(last_two)'"
echo "menu again: input off sent the released reports"

# --- Target Device lists both dongles and switches ----------------------------------
# The submenu opens to the right of its row, its first item level with it.
pick_target() {
  e2e_menu 200 200
  e2e_menu_hover $ROW_TARGET
  xdotool mousemove $(( row_x + 236 )) $row_y
  e2e_pause 0.3
  xdotool mousemove $(( row_x + 236 )) $(( row_y + 20 * $1 ))
  e2e_wait 5000 "Target Device item $1 not lit" e2e_lit $(( row_x + 226 )) $(( row_y + 20 * $1 - 8 )) 40
  xdotool click 1
}
starts() { grep -c '"ev":"start"' "$work/$1.log"; }
a0=$(starts a) b0=$(starts b)
pick_target 0
e2e_wait 10000 "first Target Device item started no session" \
  sh -c "[ \$(grep -c '\"ev\":\"start\"' $work/a.log) -gt $a0 ] || [ \$(grep -c '\"ev\":\"start\"' $work/b.log) -gt $b0 ]"
first=$(current_sim)
e2e_wait 40000 "no picture after choosing the first target" e2e_showing_picture
a0=$(starts a) b0=$(starts b)
pick_target 1
e2e_wait 10000 "second Target Device item started no session" \
  sh -c "[ \$(grep -c '\"ev\":\"start\"' $work/a.log) -gt $a0 ] || [ \$(grep -c '\"ev\":\"start\"' $work/b.log) -gt $b0 ]"
second=$(current_sim)
[ "$first" != "$second" ] || fail "both Target Device items are $first"
e2e_wait 40000 "no picture after switching" e2e_showing_picture
echo "target device: switched from $first to $second"

# --- Disconnect ------------------------------------------------------------------------
log="$work/$second.log"
e2e_menu 300 250
e2e_menu_pick $ROW_DISCONNECT
e2e_wait 5000 "the dongle saw no disconnect" grep -q '"ev":"disconnect"' "$log"
e2e_wait 5000 "the picture stayed" sh -c "! '$probe' check 'KAVRI Viewer' 1280 720"
echo "disconnect: the connection ended"

# --- Full screen and back ----------------------------------------------------------
# Full screen is the window manager's to grant: one runs from here on.
openbox --sm-disable >"$work/wm.log" 2>&1 &
e2e_pids+=($!)
managed() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
e2e_wait 5000 "the window manager did not start" managed
# Managed now: it takes the window's focus first.
focused() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$wid" ]; }
xdotool windowactivate "$wid" 2>/dev/null
e2e_wait 5000 "the window never got the focus" focused
size_is() { window_size; [ "$win_w" = "$1" ] && [ "$win_h" = "$2" ]; }
e2e_menu 300 250
e2e_menu_pick 0 0
e2e_wait 5000 "not full screen" size_is 1280 800
e2e_menu 300 250
e2e_menu_pick 0 0
e2e_wait 5000 "not windowed again" size_is 800 600
echo "full screen and back"

kill -TERM "$viewer_pid"
e2e_viewer_ends SIGTERM
echo "PASS"
