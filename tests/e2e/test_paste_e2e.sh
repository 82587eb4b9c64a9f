#!/usr/bin/env bash
# End-to-end: Settings, About and pasting, against one simulated dongle whose
# log tells what reached the target:
#   - started without extra networks the viewer finds nothing; 127.0.0.0
#     added in Settings is saved byte for byte and a rescan finds the dongle;
#   - About's Check Update says that the update server is out of reach;
#   - Paste Text types the X clipboard into the target, Send Keys sends a
#     combination, Escape stops a long paste;
#   - the target's keyboard layout chosen in Settings is saved and used after
#     a restart.
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin "$0" "$@"
e2e_need xclip

settings="$work/xdg/KAVRI/KAVRIViewer/setting.dat"
rm -f "$settings"
e2e_sim a --bind 127.0.0.2 --protocol 2 --size 1280x720
log="$work/a.log"
settings_are() { # HEX: the settings file's bytes
  saved() { [ "$(od -An -tx1 -v "$settings" 2>/dev/null | tr -d ' \n')" = "$1" ]; }
  e2e_poll 3000 saved "$1" || fail "settings file: $(od -An -tx1 -v "$settings" 2>&1 | tr -d ' \n'), want $1"
}
# A focused Dear ImGui window's title bar at (60, 60), where new windows open
# (500 x 440 in the 800 x 600 window at 96 DPI).
window_shown() { "$probe" count "KAVRI Viewer" 60 60 500 22 41 74 122 12 | awk '{exit !($1 > 1000)}'; }
window_gone() { ! window_shown; }

# One dongle, connected: Full Screen, Audio | Input | Disconnect | Settings,
# About | Paste Text, Send Keys.
ROW_INPUT="2 1" ROW_SETTINGS="4 3" ROW_PASTE="6 4" ROW_SEND="7 4"
# open_menu [Y]: opens the menu at (300, Y or 250): a right click, or Left
# Ctrl + right click while input is forwarded.
open_menu() {
  if [ "${forwarding:-0}" = 1 ]; then
    # Captured, the pointer is the target's and the menu opens where the
    # pointer was when capture began: a first menu, closed by a click at the
    # wanted place, puts it there.
    e2e_gesture
    e2e_wait 5000 "no menu after Left Ctrl + right click" e2e_menu_shown
    click_at 300 "${1:-250}"
    e2e_wait 5000 "the menu stayed open after a click beside it" eval '! e2e_menu_shown'
    e2e_gesture
    e2e_menu_wait
  else
    e2e_menu 300 "${1:-250}"
  fi
}
click_at() {
  xdotool mousemove --window "$wid" "$1" "$2"
  e2e_pause 0.1
  xdotool click 1
}
start_forwarding() {
  e2e_wait 40000 "picture never shown" e2e_showing_picture
  forwarding=0
  open_menu
  e2e_menu_pick $ROW_INPUT
  e2e_wait 3000 "input did not turn on" e2e_title_is "$forwarding_title"
  forwarding=1
}
type_into() { # X Y TEXT: replaces the field's content
  click_at "$1" "$2"
  e2e_pause 0.1
  xdotool key ctrl+a
  xdotool type --delay 30 "$3"
}
# paste TEXT: puts TEXT on the clipboard and chooses Paste Text; $mark is the
# log line before the paste's first report.
paste() {
  printf '%s' "$1" | xclip -selection clipboard
  open_menu
  mark=$(e2e_lines)
  e2e_menu_pick $ROW_PASTE
}
# --- Settings: nothing is scanned on loopback without the extra network -----------
e2e_viewer
e2e_poll 2500 grep -q '"ev":"probe"' "$log" && fail "the simulator was probed without the extra network"
e2e_menu 300 300
e2e_menu_pick $ROW_SETTINGS
e2e_wait 3000 "no Settings window" window_shown
type_into 120 163 127
type_into 229 163 0
type_into 338 163 0
click_at 445 163
settings_are af23c03b010000007f00000009badcfe
click_at 546 71   # the window's close button
click_at 566 247  # the connection screen's rescan button
e2e_wait 5000 "the rescan did not probe 127.0.0.2" grep -q '"ev":"probe"' "$log"

# About's "Check Update": the yellow message under the "Check" button says
# that the update server is out of reach in the private network.
e2e_wait 40000 "no picture after the rescan" e2e_showing_picture
e2e_menu 300 300
e2e_menu_pick 5 3
e2e_wait 3000 "no About window" window_shown
click_at 404 101
e2e_pause 0.2
click_at 93 371
yellow_message() { "$probe" count "KAVRI Viewer" 60 380 500 60 255 255 0 40 | awk '{exit !($1 > 50)}'; }
e2e_wait 20000 "no message after Check" yellow_message
click_at 546 71
e2e_wait 3000 "the About window did not close" window_gone

start_forwarding

# --- Paste Text: upper case, digits, punctuation, a newline, and the euro sign
# that the US layout lacks ---------------------------------------------------------
paste "$(printf 'Ab 1!\n\xe2\x82\xac.')"
e2e_expect_keys $(kb 02) $(kb 02 04) $(kb 02) $(kb 00) $(kb 00 05) $(kb 00) $(kb 00 2c) $(kb 00) $(kb 00 1e) $(kb 00) \
  $(kb 02) $(kb 02 1e) $(kb 02) $(kb 00) $(kb 00 28) $(kb 00) $(kb 00 37) $(kb 00) $(kb 00)
# One report a batch: none piled up behind another.
big=$(tail -n +"$(( mark + 1 ))" "$log" | grep '"ev":"batch"' | grep -v '"bytes":12,' | head -1)
[ -z "$big" ] || fail "a batch carried more than one report: $big"

# --- Send Keys > Ctrl+Alt+Del -------------------------------------------------------
# The submenu is taller than the room below its row, so it sits on the
# window's bottom edge: its first item is centred 221 pixels from the top of
# the 600-pixel window. The pointer goes right into it, then up to that item.
# While forwarding, the menu opens where the pointer was when capture began
# (the pointer reappears there), so positions are taken from the pointer.
open_menu 100
mark=$(e2e_lines)
e2e_menu_hover $ROW_SEND
# (The menu is about 250 pixels wide with the tools' key combinations.)
xdotool mousemove $(( row_x + 296 )) $row_y
e2e_pause 0.3
eval "$(xdotool getwindowgeometry --shell "$wid")"
xdotool mousemove $(( row_x + 296 )) $(( Y + 221 ))
e2e_wait 5000 "Ctrl+Alt+Del not lit" e2e_lit $(( row_x + 286 )) $(( Y + 213 )) 40
xdotool click 1
e2e_expect_keys $(kb 01) $(kb 05) $(kb 05 4c) $(kb 05) $(kb 01) $(kb 00) $(kb 00)

# --- A long paste asks first, shows its progress, and Escape stops it ----------------
paste "$(for i in $(seq 150); do printf 'Kavri 123 '; done)"
e2e_pause 0.3
click_at 271 341  # "Paste" in the question
progressing() { xdotool getwindowname "$wid" | grep -Eq '^KAVRI Viewer - Pasting [1-9][0-9][0-9] / 1500$'; }
e2e_wait 20000 "no progress in the title: '$(xdotool getwindowname "$wid")'" progressing
xdotool key Escape
e2e_wait 3000 "the title did not come back" e2e_title_is "$forwarding_title"
e2e_pause 0.3
last=$(e2e_reports "$mark" 01 | tail -1)
[ "$last" = "$(kb 00)" ] || fail "after the cancel the last report is $last"
n=$(e2e_reports "$mark" 01 | grep -c "^0102000e")
[ "$n" -gt 5 ] && [ "$n" -lt 150 ] || fail "$n capital Ks typed of 150"
e2e_reports "$mark" 01 | grep -q "^01..0029" && fail "the Escape that stopped the paste reached the target"
echo "cancel: stopped after $n of 150 words, every key released, Escape kept"

# --- The target's layout: German in Settings, saved, used after a restart -------------
open_menu
e2e_menu_pick $ROW_SETTINGS
e2e_pause 0.5
click_at 234 101  # the "Device Settings" tab
e2e_pause 0.3
click_at 380 155  # the layout combo
e2e_pause 0.3
click_at 360 222  # its third choice, German
settings_are af23c03b010000007f00000009badcfe544b424c020000006465
click_at 546 71

e2e_quit
e2e_viewer
start_forwarding
# Z and Y trade places on a German keyboard.
paste "zy"
e2e_expect_keys $(kb 00 1c) $(kb 00) $(kb 00 1d) $(kb 00) $(kb 00)

e2e_quit
