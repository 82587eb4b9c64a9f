#!/usr/bin/env bash
# End-to-end: keyboard and mouse forwarding and the function menu, against two
# simulated dongles; xdotool plays the operator and the simulators' logs tell
# what reached the target.
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin "$0" "$@"

e2e_sim a --bind 127.0.0.2 --protocol 2 --size 1280x720
e2e_sim b --bind 127.0.0.3 --protocol 2 --size 1280x720
e2e_viewer
e2e_wait 40000 "picture never shown" e2e_showing_picture
# The simulator streaming: the one whose last session started last.
current_sim() {
  local s
  for s in a b; do grep '"ev":"start"' "$work/$s.log" | tail -1 | sed -n "s/.*\"t\":\([0-9]*\).*/\1 $s/p"; done |
    sort -n | tail -1 | cut -d' ' -f2
}
have_session() { [ -n "$(current_sim)" ]; }
e2e_wait 10000 "no session started" have_session
log="$work/$(current_sim).log"
# Two dongles found: Full Screen, Audio | Input | Target Device | Disconnect |
# Settings, About | Save Screenshot, Start Recording, Statistics.
ROW_INPUT="2 1" ROW_TARGET="3 2" ROW_DISCONNECT="4 3"

e2e_menu 400 300
e2e_menu_pick $ROW_INPUT
e2e_wait 3000 "input did not turn on" e2e_title_is "$forwarding_title"
mark=$(e2e_lines)
xdotool type --delay 60 "kavri"
e2e_expect_keys $(kb 00 0e) $(kb 00) $(kb 00 04) $(kb 00) $(kb 00 19) $(kb 00) $(kb 00 15) $(kb 00) $(kb 00 0c) $(kb 00)

# --- Mouse -------------------------------------------------------------------------
sum_motion() {
  local dx=0 dy=0 r x y
  for r in $(e2e_reports "$mark" 02); do
    x=$(( 16#${r:4:2} )) y=$(( 16#${r:6:2} ))
    dx=$(( dx + (x > 127 ? x - 256 : x) )) dy=$(( dy + (y > 127 ? y - 256 : y) ))
  done
  echo "$dx $dy"
}
moved() { [ "$(sum_motion)" = "30 20" ]; }
mark=$(e2e_lines)
xdotool mousemove_relative -- 30 20
e2e_poll 5000 moved || fail "mouse motion: got $(sum_motion), want 30 20"
buttons() { e2e_reports "$mark" 02 | cut -c3-4 | xargs; }
clicked() { [ "$(buttons)" = "01 00" ]; }
mark=$(e2e_lines)
xdotool click 1
e2e_poll 5000 clicked || fail "left click: button bytes '$(buttons)', want '01 00'"
# Relative mode hands the counts over as they are: three times the drawn
# picture's width (800) to the right, in steps too small for any pointer
# acceleration, reaches the target (near) whole, though the local pointer
# could never go that far.
sweep=2400 steps=()
for _ in $(seq $(( sweep / 4 ))); do steps+=(mousemove_relative 4 0 sleep 0.004); done
mark=$(e2e_lines)
xdotool "${steps[@]}"
swept() { local m; m=$(sum_motion); [ $(( ${m% *} * 10 )) -ge $(( sweep * 9 )) ]; }
e2e_poll 10000 swept || fail "a sweep of $sweep moved the target's pointer $(sum_motion)"
echo "mouse: motion 30,20; a click pressed and released; a sweep of $sweep moved the target's pointer $(sum_motion)"

# --- Left Ctrl + right click opens the menu. While it is open the keys stay
# with the viewer: the Left Ctrl still held is let go on the target as the
# menu opens, and neither the right button nor letters typed into the menu
# reach the target.
ctrl_let_go() { e2e_reports "$mark" 01 | sed -n '/^010100/,$p' | grep -q "^$(kb 00)$"; }
mark=$(e2e_lines)
xdotool keydown Control_L
e2e_pause 0.1
xdotool click 3
e2e_wait 3000 "Left Ctrl not pressed, then let go on the target as the menu opened" ctrl_let_go
xdotool keyup Control_L
e2e_wait 5000 "no menu after Left Ctrl + right click" e2e_menu_shown
e2e_reports "$mark" 02 | cut -c3-4 | grep -q '^0[2367]' &&
  fail "a right-button report reached the target: $(e2e_reports "$mark" | xargs)"
xdotool type --delay 60 qzx
e2e_pause 0.2
# A click beside the menu, high in the window, closes it (the next menu opens
# there, with room below); the K typed then goes to the target.
xdotool mousemove --window "$wid" 100 100 click 1
e2e_pause 0.2
xdotool type k
k_arrived() { e2e_reports "$mark" 01 | grep -q '^0100000e'; }
e2e_wait 3000 "forwarding did not resume when the menu closed" k_arrived
letters=$(e2e_reports "$mark" 01 | cut -c7-18 | grep -v -e '^000000000000$' -e '^0e0000000000$')
[ -z "$letters" ] || fail "keys typed into the menu reached the target: $letters"
# The menu opens again at the pointer: turning input off from it proves it.
e2e_pause 0.2
e2e_gesture
e2e_menu_wait
mark=$(e2e_lines)
e2e_menu_pick $ROW_INPUT
e2e_wait 3000 "input did not turn off" e2e_title_is "KAVRI Viewer"
last_two() { e2e_reports "$mark" | tail -2 | xargs; }
released() { [ "$(last_two)" = "$(kb 00) 0200000000" ]; }
e2e_poll 3000 released || fail "input off: last reports '$(last_two)'"

# --- Target Device lists both dongles and switches: its submenu opens right of
# its row, the first item level with it.
starts() { cat "$work/a.log" "$work/b.log" | grep -c '"ev":"start"'; }
pick_target() {
  local n0
  n0=$(starts)
  e2e_menu 200 200
  e2e_menu_hover $ROW_TARGET
  xdotool mousemove $(( row_x + 236 )) $row_y
  e2e_pause 0.3
  xdotool mousemove $(( row_x + 236 )) $(( row_y + 20 * $1 ))
  e2e_wait 5000 "Target Device item $1 not lit" e2e_lit $(( row_x + 226 )) $(( row_y + 20 * $1 - 8 )) 40
  xdotool click 1
  more_starts() { [ "$(starts)" -gt "$n0" ]; }
  e2e_wait 10000 "Target Device item $1 started no session" more_starts
  e2e_wait 40000 "no picture after Target Device item $1" e2e_showing_picture
}
pick_target 0
first=$(current_sim)
pick_target 1
second=$(current_sim)
[ "$first" != "$second" ] || fail "both Target Device items are $first"
echo "target device: switched from $first to $second"

log="$work/$second.log"
e2e_menu 300 250
e2e_menu_pick $ROW_DISCONNECT
e2e_wait 5000 "the dongle saw no disconnect" grep -q '"ev":"disconnect"' "$log"
e2e_wait 5000 "the picture stayed" eval '! e2e_showing_picture'

e2e_wm
focused() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$wid" ]; }
xdotool windowactivate "$wid" 2>/dev/null
e2e_wait 5000 "the window never got the focus" focused
for size in "1280 800" "800 600"; do
  e2e_menu 300 250
  e2e_menu_pick 0 0
  e2e_wait 5000 "not $size" e2e_size_is $size
done

e2e_quit
