#!/usr/bin/env bash
# End-to-end: the viewer's command line, and what it keeps of a stream from a
# simulated dongle that loses every fragment for 300 ms of every 2.5 s and
# changes its resolution on command: the statistics overlay, a screenshot,
# and recordings across a resolution change and a lost connection, each
# checked with ffprobe against what the viewer says it received.
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin "$0" "$@"
e2e_need ffprobe convert openbox xprop

# --- Command line ---------------------------------------------------------------
# exit code | text the output holds | arguments
while IFS='|' read -r want text args; do
  out=$("$viewer" $args 2>&1 </dev/null); rc=$?
  [ "$rc" = "$want" ] || fail "kavri-viewer $args: exit code $rc, want $want ($out)"
  grep -q -- "$text" <<<"$out" || fail "kavri-viewer $args: no \"$text\" in: $out"
done <<'TABLE'
0|usage: kavri-viewer|--help
0|usage: kavri-viewer|--fullscreen --help
0|^kavri-viewer 1\.0\.0\.0$|--version
2|unknown option: --frobnicate|--frobnicate
2|unknown option: -x|--fullscreen -x
2|--connect needs an address|--connect
2|not an IPv4 address: 300.1.2.3|--connect 300.1.2.3
2|not an IPv4 address: 127.2|--connect 127.2
2|not an IPv4 address: 0.0.0.0|--connect 0.0.0.0
2|not an IPv4 address: dongle.example|--connect=dongle.example
TABLE

# --- --connect 127.0.0.2 --fullscreen: full screen, the dongle's picture ---------
e2e_wm

# The simulator reads commands from a pipe held open here (read-write: the
# open does not wait for the reader).
mkfifo "$work/sim.in"
exec 5<>"$work/sim.in"
sim_stdin=$work/sim.in e2e_sim sim --bind 127.0.0.2 --protocol 2 --size 1280x720 --loss-burst 300/2500

# No settings (no scan network reaches 127.0.0.x); pictures go where
# user-dirs.dirs says.
mkdir -p "$work/none" "$work/home" "$work/config"
echo 'XDG_PICTURES_DIR="$HOME/shots"' >"$work/config/user-dirs.dirs"
shots="$work/home/shots/KAVRI"
HOME="$work/home" XDG_CONFIG_HOME="$work/config" e2e_viewer "$work/none" --connect 127.0.0.2 --fullscreen
e2e_wait 5000 "not full screen" e2e_size_is 1280 800
e2e_wait 40000 "picture never shown" e2e_showing_picture

# --- Statistics: the picture's bottom-right corner changes, the bars do not -------
# (The picture lies at y 40..760, its bars above y 580, black rows below them.)
grab() { "$probe" save "KAVRI Viewer" "$work/$1.ppm"; }
same() { "$probe" compare "@$work/$1.ppm" "@$work/before.ppm" $2 12 >/dev/null; }
corner="900 722 370 28" bars="0 150 1280 420"
# One dongle: Full Screen, Audio | Input | Disconnect | Settings, About |
# Paste Text, Send Keys | Save Screenshot, Start Recording, Statistics.
statistics() { e2e_menu 300 200; e2e_menu_pick 10 5; xdotool mousemove 5 5; e2e_pause 1; }
xdotool mousemove 5 5
e2e_pause 0.3
grab before
statistics
grab overlay
same overlay "$corner" && fail "the overlay did not change the picture's corner"
same overlay "$bars" || fail "the overlay changed the bars"
statistics
grab after
same after "$corner" || fail "the corner is not as before once the overlay is off"

# --- Ctrl+Alt+S: a PNG of the stream's size where user-dirs.dirs says ------------
xdotool key ctrl+alt+s
e2e_wait 10000 "no screenshot notice" grep -q "^Screenshot saved to " "$work/viewer.out"
shot=$(sed -n 's/^Screenshot saved to //p' "$work/viewer.out")
[ "$shot" = "$(ls "$shots"/*.png)" ] || fail "the notice says $shot; $shots holds $(ls "$shots")"
convert "$shot" -depth 8 "$work/shot-file.ppm" || fail "not a PNG: $shot"
[ "$(identify -format %wx%h "$shot")" = 1280x720 ] || fail "screenshot is not 1280x720: $(identify "$shot")"
"$probe" check "@$work/shot-file.ppm" 1280 720 || fail "screenshot's picture wrong"
echo "screenshot: $shot, 1280x720, bars and stamp right"

# --- Ctrl+Alt+R: Matroska files of the sizes streamed, starting with a key frame --
opened() { [ "$(grep -c '^recording: opened' "$work/viewer.out")" -ge "$1" ]; }
closed() { [ "$(grep -c '^recording: closed' "$work/viewer.out")" -ge "$1" ]; }
xdotool key ctrl+alt+r
e2e_wait 5000 "no recording file opened" opened 1
sleep 2.5  # the length of the first file, with a loss burst in it
echo "size 960x540" >&5
e2e_wait 5000 "the first file was not closed at the size change" closed 1
e2e_wait 5000 "no file opened at the new size" opened 2
e2e_wait 10000 "picture never 960x540" e2e_showing_picture 960 540
sleep 2.5
xdotool key ctrl+alt+r
e2e_wait 5000 "the second file was not closed" closed 2
# A lost connection closes the file; the next starts once the dongle is back.
xdotool key ctrl+alt+r
e2e_wait 5000 "no file when recording again" opened 3
sleep 1
echo silent >&5
e2e_wait 10000 "the file stayed open with the dongle silent" closed 3
echo resume >&5
e2e_wait 20000 "no file after reconnecting" opened 4
sleep 1
xdotool key ctrl+alt+r
e2e_wait 5000 "the last file was not closed" closed 4
n=0
while read -r _ _ path count _ _ secs _; do
  path=${path%:} n=$((n + 1))
  want_size=$([ $n = 1 ] && echo 1280x720 || echo 960x540)
  # Every picture and sound packet decoded (ffmpeg's null output would
  # re-time the arrival-timed pictures to a fixed rate and complain).
  err=$(ffprobe -v error -show_entries frame=media_type -of csv=p=0 "$path" 2>&1 >/dev/null)
  [ -z "$err" ] || fail "decoding $path: $err"
  info=$(ffprobe -v error -count_packets -show_entries stream=codec_name,width,height,nb_read_packets \
    -of default=nw=1 "$path")
  got_size=$(sed -n 's/^width=//p' <<<"$info")x$(sed -n 's/^height=//p' <<<"$info")
  packets=$(sed -n 's/^nb_read_packets=//p' <<<"$info" | head -1)
  # From the first picture to the last, as the viewer counts what it received.
  duration=$(ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$path" | tail -1)
  key=$(ffprobe -v error -select_streams v:0 -read_intervals '%+#1' -show_entries frame=key_frame -of csv=p=0 "$path")
  [ "$got_size" = "$want_size" ] || fail "$path is $got_size, want $want_size"
  grep -q '^codec_name=h264' <<<"$info" && grep -q '^codec_name=pcm_s16le' <<<"$info" ||
    fail "$path lacks H.264 video or PCM sound: $info"
  [ "$key" = 1 ] || fail "$path does not start with a key frame ($key)"
  awk -v p="$packets" -v c="$count" -v d="$duration" -v s="$secs" \
    'BEGIN { exit !(p >= 0.95 * c && p <= 1.05 * c && d >= 0.95 * s && d <= 1.05 * s && s > 0.5) }' ||
    fail "$path: $packets pictures over $duration s, the viewer received $count over $secs s"
  echo "recording $n: $want_size, $packets pictures over $duration s (received $count over $secs s)"
done < <(grep '^recording: closed' "$work/viewer.out")
[ $n = 4 ] || fail "$n recordings, want 4"
grep -q '"ev":"loss_burst"' "$work/sim.log" || fail "no loss burst while recording"

e2e_quit
