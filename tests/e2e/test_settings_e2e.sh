#!/usr/bin/env bash
# End-to-end: the Settings window adds an extra network to scan. Started
# without any, the viewer finds nothing; 127.0.0.0 added in Settings is saved
# byte for byte and a rescan finds the simulated dongle there.
#
#   test_settings_e2e.sh VIEWER SIMULATOR X11_PROBE
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin "$0" "$@"

settings="$work/xdg/KAVRI/KAVRIViewer/setting.dat"
rm -f "$settings"
e2e_sim a --bind 127.0.0.2 --protocol 2 --size 1280x720
e2e_viewer

# Window positions below are those of the 800 x 600 window at 96 DPI; the
# Settings window opens at (60, 60), 500 x 440.
click_at() {
  xdotool mousemove --window "$wid" "$1" "$2"
  e2e_pause 0.1  # Dear ImGui sees the pointer on one frame and the click on the next
  xdotool click 1
}
type_into() {  # x y text: replaces the field's content
  click_at "$1" "$2"
  e2e_pause 0.1
  xdotool key ctrl+a
  xdotool type --delay 30 "$3"
}

# Nothing is scanned on loopback without the extra network.
e2e_poll 2500 grep -q '"ev":"probe"' "$work/a.log" && fail "the simulator was probed without the extra network"

# menu_row N: picks row N of the function menu: Full Screen, Audio | Input |
# Disconnect | Settings, About (three separators above the last two), then,
# once connected, Paste Text and Send Keys: high enough that the whole menu
# fits below the pointer.
menu_row() { e2e_menu 300 300; e2e_menu_pick "$1" 3; }
# A focused Dear ImGui window's title bar at (60, 60), where new windows open.
window_shown() { "$probe" count "KAVRI Viewer" 60 60 500 22 41 74 122 12 | awk '{exit !($1 > 1000)}'; }
menu_row 4
e2e_wait 3000 "no Settings window" window_shown
echo "settings: window open"

type_into 120 163 127
type_into 229 163 0
type_into 338 163 0
click_at 445 163
want="af23c03b010000007f00000009badcfe"
saved() { [ "$(od -An -tx1 -v "$settings" 2>/dev/null | tr -d ' \n')" = "$want" ]; }
e2e_poll 3000 saved || fail "settings file: $(od -An -tx1 -v "$settings" 2>&1 | tr -d '\n'), want $want"
echo "settings: 127.0.0.* added and saved as $want"

# Close the window, rescan: the dongle on 127.0.0.2 is found and shown.
click_at 546 71
click_at 566 247
e2e_wait 5000 "the rescan did not probe 127.0.0.2" grep -q '"ev":"probe"' "$work/a.log"
e2e_wait 40000 "no picture after the rescan" e2e_showing_picture
echo "settings: the rescan found the dongle"

# About opens from the menu and closes with its close button.
menu_row 5
e2e_wait 3000 "no About window" window_shown
# "Check Update": the update server is out of reach in the private network,
# which the yellow message under the "Check" button says.
click_at 404 101
e2e_pause 0.2
click_at 93 371
yellow_message() { "$probe" count "KAVRI Viewer" 60 380 500 60 255 255 0 40 | awk '{exit !($1 > 50)}'; }
e2e_wait 20000 "no message after Check" yellow_message
echo "about: the update check reported its failure"
click_at 546 71
window_gone() { ! window_shown; }
e2e_wait 3000 "the About window did not close" window_gone
echo "about: closed"

kill -TERM "$viewer_pid"
e2e_viewer_ends SIGTERM
echo "PASS"
