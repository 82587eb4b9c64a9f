# Shared parts of the end-to-end tests; sourced by tests/e2e/test_*_e2e.sh,
# which are called as `SCRIPT VIEWER SIMULATOR X11_PROBE`.
#
#   source "$(dirname "$0")/e2e_lib.sh"; e2e_begin "$0" "$@"
#
# e2e_begin re-executes the script inside a private network namespace when
# it is not provably in one, makes a work folder, starts Xvfb on a free
# display and writes a settings file that adds 127.0.0.0/24 to the scan.
# Everything started with e2e_sim / e2e_viewer is stopped at exit; a failing
# test keeps its work folder (screenshots, logs) and says where.

set -uo pipefail

e2e_begin() {
  local script=$1; shift
  [ $# -ge 3 ] || { echo "usage: $script VIEWER SIMULATOR X11_PROBE" >&2; exit 64; }
  viewer=$1 sim=$2 probe=$3
  e2e_here=$(cd "$(dirname "$script")" && pwd)

  local mine init
  mine=$(readlink /proc/self/ns/net 2>/dev/null || true)
  init=$(readlink /proc/1/ns/net 2>/dev/null || true)
  if [ -z "${KAVRI_E2E_NETNS:-}" ] && { [ -z "$mine" ] || [ -z "$init" ] || [ "$mine" = "$init" ]; }; then
    # Not provably in a namespace of our own: go through one (once).
    KAVRI_E2E_NETNS=1 exec "$e2e_here/../../scripts/in-netns" bash "$script" "$@"
  fi
  e2e_need Xvfb xdotool xwininfo

  work=$(mktemp -d /tmp/kavri-e2e.XXXXXX)
  e2e_pids=() viewer_pid= xvfb_pid=
  trap e2e_cleanup EXIT

  # The X server takes a display number nobody uses and tells it once it
  # accepts clients (no race with other tests looking for a free one). It
  # does not reset when its last client goes, which would take a window
  # starting just then with it.
  local display=
  Xvfb -displayfd 3 -screen 0 1280x800x24 -dpi 96 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  display_known() { display=$(tr -dc 0-9 <"$work/display" 2>/dev/null); [ -n "$display" ]; }
  e2e_poll 10000 display_known || fail "Xvfb did not start: $(tail -3 "$work/xvfb.log")"
  export DISPLAY=:$display

  mkdir -p "$work/xdg/KAVRI/KAVRIViewer"
  printf '\xAF\x23\xC0\x3B\x01\x00\x00\x00\x7F\x00\x00\x00\x09\xBA\xDC\xFE' \
    >"$work/xdg/KAVRI/KAVRIViewer/setting.dat"

  # How long the viewer may take to end once asked (sanitizer builds are slower).
  exit_limit=${KAVRI_E2E_EXIT_LIMIT_MS:-1000}
  # The address sanitizer's runtime must otherwise come first of all libraries.
  [ -n "${KAVRI_E2E_VIEWER_PRELOAD:-}" ] && export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
  return 0
}

e2e_need() {
  local t
  for t; do command -v "$t" >/dev/null || { echo "missing tool: $t" >&2; exit 1; }; done
}

e2e_stop() {
  local p
  for p; do kill -TERM "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
}
e2e_cleanup() {
  e2e_stop $viewer_pid "${e2e_pids[@]}" $xvfb_pid
  if [ "${keep:-0}" = 1 ]; then echo "kept: $work"; else rm -rf "$work"; fi
}

# A failure while the viewer runs keeps its threads' stacks (where gdb is
# installed) beside the logs: a stuck thread shows there.
fail() {
  echo "FAIL: $*" >&2
  keep=1
  if [ -n "${viewer_pid:-}" ] && kill -0 "$viewer_pid" 2>/dev/null && command -v gdb >/dev/null; then
    timeout 60 gdb -p "$viewer_pid" -batch -ex 'thread apply all bt' >"$work/viewer-stacks.txt" 2>&1
  fi
  exit 1
}

# e2e_pause SECONDS: the pause between two steps of simulated input, so that
# the viewer's frame loop sees each (a pointer over an item for a frame before
# the click on it). Sanitizer builds draw far slower frames and stretch it by
# KAVRI_E2E_PACE.
e2e_pause() {
  sleep "$(awk -v s="$1" -v f="${KAVRI_E2E_PACE:-1}" 'BEGIN { print s * f }')"
}

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# e2e_poll MS CMD...: polls CMD until it succeeds (0) or MS milliseconds
# (stretched by KAVRI_E2E_PACE, as the pauses are) pass (1). A viewer that
# dies meanwhile fails the test.
e2e_poll() {
  local ms=$(( $1 * ${KAVRI_E2E_PACE:-1} )); shift
  local deadline=$(( $(now_ms) + ms ))
  until "$@" >/dev/null 2>&1; do
    [ "$(now_ms)" -lt $deadline ] || return 1
    if [ -n "$viewer_pid" ] && ! kill -0 "$viewer_pid" 2>/dev/null; then
      fail "viewer died while waiting for: $* ($(grep -v '^ALSA' "$work/viewer.out" | tail -3))"
    fi
    sleep 0.05
  done
}

# e2e_wait MS MESSAGE CMD...: the same, failing the test with MESSAGE.
e2e_wait() {
  local ms=$1 msg=$2; shift 2
  e2e_poll "$ms" "$@" || fail "$msg"
}

# e2e_sim NAME ARGS...: starts a simulator logging to $work/NAME.log (its
# commands read from $sim_stdin if set).
e2e_sim() {
  local name=$1; shift
  "$sim" "$@" --log "$work/$name.log" >"$work/$name.out" 2>&1 <"${sim_stdin:-/dev/null}" &
  e2e_pids+=($!)
  e2e_wait 5000 "simulator $name not ready" grep -q '"ev":"ready"' "$work/$name.log"
}


# e2e_viewer [XDG [ARGS...]]: starts the viewer with the work folder's
# settings (or those in the folder XDG).
e2e_viewer() {
  XDG_DATA_HOME="${1:-$work/xdg}" LD_PRELOAD="${KAVRI_E2E_VIEWER_PRELOAD:-}" "$viewer" "${@:2}" \
    >"$work/viewer.out" 2>&1 </dev/null &
  viewer_pid=$!
  e2e_wait 10000 "no viewer window" xdotool search --name "^KAVRI Viewer"
  wid=$(xdotool search --name "^KAVRI Viewer" | head -1)
}

# e2e_quit: SIGTERM ends the viewer in time.
e2e_quit() { kill -TERM "$viewer_pid"; e2e_viewer_ends SIGTERM; }
# e2e_viewer_ends HOW: waits for the viewer to end within the limit with exit code 0.
e2e_viewer_ends() {
  local how=$1 start=$(now_ms) rc
  while kill -0 "$viewer_pid" 2>/dev/null; do
    [ $(( $(now_ms) - start )) -le $exit_limit ] || fail "viewer still running $exit_limit ms after $how"
    sleep 0.02
  done
  wait "$viewer_pid"; rc=$?
  viewer_pid=
  [ $rc -eq 0 ] || fail "viewer exit code $rc after $how"
}

# e2e_showing_picture [W H]: the window shows the simulator's picture.
e2e_showing_picture() {
  "$probe" check "KAVRI Viewer" "${1:-1280}" "${2:-720}" "$work/shot.ppm"
}

e2e_pointer() { eval "$(xdotool getmouselocation --shell)"; ptr_x=$X ptr_y=$Y; }
e2e_title_is() { [ "$(xdotool getwindowname "$wid")" = "$1" ]; }

# e2e_count X Y W H R G B TOL: how many pixels of the rectangle at (X, Y) on
# the screen the window shows within TOL of (R, G, B).
# (xdotool's window position is off by the frame under a window manager.)
e2e_count() {
  local x y
  read -r x y < <(xwininfo -id "$wid" | awk '/Absolute upper-left [XY]/ { printf "%s ", $4 }')
  "$probe" count "KAVRI Viewer" $(( $1 - x )) $(( $2 - y )) "${@:3}" | cut -d' ' -f1
}

# The function menu opens with its corner at the pointer. It counts as drawn
# once its border's top row and the dark band under it show there: a click
# on a row before the slow first frames of a sanitized viewer drew the menu
# went nowhere.
e2e_menu_drawn() {
  e2e_pointer
  [ "$(e2e_count $(( ptr_x + 10 )) "$ptr_y" 40 1 64 70 73 16)" = 40 ] &&
    [ "$(e2e_count $(( ptr_x + 10 )) $(( ptr_y + 2 )) 40 3 20 26 20 16)" = 120 ]
}
# A menu anywhere below the release tip at the window's top: its border's
# colour, which the picture never has.
e2e_menu_shown() { [ "$("$probe" count "KAVRI Viewer" 0 40 4000 4000 64 70 73 16 | cut -d' ' -f1)" -ge 400 ]; }
e2e_menu_wait() {
  e2e_pointer
  e2e_poll 5000 e2e_menu_drawn && return
  "$probe" save "KAVRI Viewer" "$work/menu.ppm" >/dev/null 2>&1
  fail "the function menu was not drawn at the pointer ($ptr_x,$ptr_y) of $(xwininfo -id "$wid" | grep -E 'Absolute|Width|Height' | xargs); window in menu.ppm"
}

# e2e_menu X Y: a right click at (X, Y) in the window; the menu drawn. A
# thread-sanitized viewer on a machine busy with other tests once drew no
# menu within the deadline for a right click on the connection screen (not
# seen again, alone or beside the soak): the window at that moment is kept
# as menu-missed.ppm, a note says so, and one more right click must bring
# the menu.
e2e_menu() {
  xdotool mousemove --window "$wid" "$1" "$2"
  e2e_pause 0.1
  xdotool click 3
  e2e_pointer
  if ! e2e_poll 5000 e2e_menu_drawn; then
    "$probe" save "KAVRI Viewer" "$work/menu-missed.ppm" >/dev/null 2>&1
    keep=1
    echo "note: no menu for the right click at ($ptr_x,$ptr_y); window in $work/menu-missed.ppm; clicking again"
    xdotool mousemove --window "$wid" "$1" "$2"
    e2e_pause 0.1
    xdotool click 3
  fi
  e2e_menu_wait
}

# e2e_menu_hover I S: the pointer onto row I (from 0) with S separators above
# it of the menu whose corner is at the pointer (centred 14 + 20 I + 4 S
# pixels below it); waits until the row is lit, as Dear ImGui then knows the
# pointer is over it. e2e_menu_pick I S: the same, and a click.
e2e_menu_hover() {
  e2e_pointer
  row_x=$(( ptr_x + 24 )) row_y=$(( ptr_y + 14 + 20 * $1 + 4 * $2 ))
  xdotool mousemove $row_x $row_y
  e2e_wait 5000 "menu row $1 not lit under the pointer" e2e_lit $(( row_x - 10 )) $(( row_y - 8 )) 40
}
e2e_lit() { [ "$(e2e_count "$1" "$2" "$3" 3 57 126 204 24)" -ge $(( $3 * 2 )) ]; }
e2e_menu_pick() { e2e_menu_hover "$@"; xdotool click 1; }

# --- What reached the target: the simulator's log $log ----------------------
forwarding_title="KAVRI Viewer - Ctrl+Right Click to release mouse from server"
e2e_lines() { wc -l <"$log"; }
# e2e_reports N [PREFIX]: the reports received after line N, one a line.
e2e_reports() {
  tail -n +"$(( $1 + 1 ))" "$log" | sed -n "s/.*\"ev\":\"input\".*\"report\":\"\(${2:-}[0-9a-f]*\)\".*/\1/p"
}
kb() { printf '01%s00%s0000000000' "$1" "${2:-00}"; }  # a keyboard report: modifiers, key
# e2e_expect_keys REPORT...: the keyboard reports after line $mark, in order.
e2e_expect_keys() {
  local want="$*"
  keys_are() { [ "$(e2e_reports "$mark" 01 | xargs)" = "$want" ]; }
  e2e_poll 10000 keys_are || fail "keyboard reports after $mark: got '$(e2e_reports "$mark" 01 | xargs)', want '$want'"
}

# e2e_wm: a window manager (full screen is its to grant), with the focus.
e2e_wm() {
  openbox --sm-disable >"$work/wm.log" 2>&1 &
  e2e_pids+=($!)
  managed() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
  e2e_wait 5000 "the window manager did not start" managed
}
e2e_size_is() {
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  [ "$WIDTH" = "$1" ] && [ "$HEIGHT" = "$2" ]
}
# Left Ctrl + right click: opens the menu while input is forwarded.
e2e_gesture() { xdotool keydown Control_L; e2e_pause 0.1; xdotool click 3; e2e_pause 0.1; xdotool keyup Control_L; }
