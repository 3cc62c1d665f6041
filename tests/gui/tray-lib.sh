# Helpers for the attention-tray desktop tests: a private Xvfb with openbox
# as window manager and trayer as notification area. Every check looks at the
# X server from outside (xdotool, xwininfo, xprop, wmctrl, import).
# Source it, then call desktop_start; cleanup runs on exit.

set -u
: "${ZPM_BUILD:?ZPM_BUILD must name the build directory}"
TRAY_BIN=$ZPM_BUILD/src/attention-tray/attention-tray
TRAY_WIN=$ZPM_BUILD/src/attention-tray/tray-test-window
TRAY_ART=$ZPM_BUILD/gui-artifacts
WORK=$(mktemp -d "${TMPDIR:-/tmp}/attention-tray-test.XXXXXX")
PIDS=()       # everything we started, killed in reverse order at exit
CHECKS=0

cleanup() {
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
    kill "${PIDS[i]}" 2>/dev/null
  done
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# An X client asked about a window that is going away can wait for ever; each
# call gets a bound, so a check fails instead of hanging the whole test.
for _tool in xdotool xwininfo xprop wmctrl import; do
  eval "$_tool() { timeout 20 $(command -v $_tool || echo $_tool) \"\$@\"; }"
done
unset _tool

fail() {
  local log
  echo "FAIL: $*" >&2
  for log in "$WORK"/*.log; do
    [ -s "$log" ] && { echo "--- ${log##*/}"; tail -n 20 "$log"; } >&2
  done
  exit 1
}
ok() { CHECKS=$((CHECKS + 1)); echo "ok $CHECKS - $*"; }

# poll SECONDS CMD...: run CMD every 50 ms until it succeeds or SECONDS
# have passed; the bound is generous because the machine may be loaded.
poll() {
  local end=$((${EPOCHREALTIME/./} + $1 * 1000000))
  shift
  until "$@"; do
    ((${EPOCHREALTIME/./} < end)) || return 1
    sleep 0.05
  done
}

need_tools() {
  local t
  for t in Xvfb openbox trayer xdotool wmctrl xwininfo xprop import convert \
      "$@"; do
    command -v "$t" >/dev/null || fail "$t is not installed"
  done
  [ -x "$TRAY_BIN" ] || fail "no binary at $TRAY_BIN"
  [ -x "$TRAY_WIN" ] || fail "no test window at $TRAY_WIN"
}

# A child that exited stays a zombie until waited for: count it as gone.
gone() {
  local st
  st=$(ps -o stat= -p "$1") || return 0
  [[ $st == Z* ]]
}

# Run in the background and remember the pid in LAST_PID.
spawn() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 &
  LAST_PID=$!
  PIDS+=("$LAST_PID")
}

display_ready() { [ -s "$WORK/display" ] && xprop -root >/dev/null 2>&1; }
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }

# openbox names itself on the root window early in its start-up. Events that
# reach it before its main loop runs can stay in its own event queue while it
# sleeps on the socket, until some later event wakes it: a panel mapped in that
# gap is left unmanaged and unmapped on a quiet desktop. So openbox counts as
# up once it has answered a request; a request not answered soon is sent again,
# and its arrival wakes openbox to handle what was waiting.
showing_desktop() { xprop -root _NET_SHOWING_DESKTOP 2>/dev/null | grep -q " = $1\$"; }
wm_answers() { wmctrl -k on && poll 1 showing_desktop 1; }
panel_id() {
  local ids
  ids=$(xdotool search --onlyvisible --classname '^panel$' 2>/dev/null) &&
      [ -n "$ids" ] && echo "${ids%%$'\n'*}"
}

# A display of our own, away from the low numbers other desktops take.
# -noreset: otherwise the server resets when its first client (our probe)
# leaves, and a client connecting at that moment is refused.
start_xvfb() {
  local n pid
  for ((n = 200 + $$ % 500; n < 800; n++)); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 800x600x24 -nolisten tcp -noreset >"$WORK/xvfb.log" 2>&1 &
    pid=$!
    export DISPLAY=:$n
    if poll 30 eval 'gone $pid || xprop -root >/dev/null 2>&1' && ! gone "$pid"; then
      PIDS+=("$pid")
      return 0
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  return 1
}


desktop_start() {
  export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/.config
  export XDG_CACHE_HOME=$WORK/home/.cache XDG_DATA_HOME=$WORK/home/.local
  mkdir -p "$HOME"
  unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER
  start_xvfb || fail "no free display for Xvfb"
  spawn "$WORK/openbox.log" openbox --sm-disable
  poll 30 wm_ready || fail "openbox did not start on $DISPLAY"
  poll 30 wm_answers || fail "openbox on $DISPLAY does not answer requests"
  wmctrl -k off && poll 10 showing_desktop 0 || fail "openbox keeps showing the desktop"
  spawn "$WORK/trayer.log" trayer --edge top --align right --widthtype request \
      --height 24 --SetDockType true --SetPartialStrut true
  poll 30 panel_id >/dev/null || fail "trayer did not start"
  PANEL=$(panel_id)
  poll 10 wmctrl -i -r "$PANEL" -t -1 || fail "cannot make the tray sticky"
}

# --- attention-tray --------------------------------------------------------

tray_leader() { xdotool search --classname '^attention-tray$' >/dev/null 2>&1; }

# tray_start [WRAPPER...]: start attention-tray (optionally under valgrind).
tray_start() {
  spawn "$WORK/tray.log" "$@" "$TRAY_BIN"
  TRAY_PID=$LAST_PID
  poll "${TRAY_START_SECS:-30}" tray_leader || fail "attention-tray did not start"
}

# tray_stop SIGNAL: ask attention-tray to quit; its exit status in TRAY_RC.
tray_stop() {
  kill "-$1" "$TRAY_PID"
  poll "${TRAY_STOP_SECS:-10}" gone "$TRAY_PID" ||
      fail "attention-tray ignored SIG$1"
  wait "$TRAY_PID"
  TRAY_RC=$?
}

# The mapped attention-tray windows. xdotool walks the whole window tree one
# XQueryTree at a time, and a window destroyed during the walk (any client's:
# an icon going away, a frame, a tooltip) ends it with BadWindow, no output
# and status 1, the same status as "nothing found". Such a walk says nothing
# about the icons, so it is repeated; only a clean walk is an answer.
tray_windows() {
  local out rc try
  for try in 1 2 3 4 5 6 7 8 9 10; do
    out=$(xdotool search --onlyvisible --classname '^attention-tray$' 2>"$WORK/search.err")
    rc=$?
    if [ $rc -le 1 ] && ! [ -s "$WORK/search.err" ]; then
      [ -n "$out" ] && echo "$out"
      return 0
    fi
  done
  echo "xdotool search failed $try times, last with status $rc: $(head -3 "$WORK/search.err")" >&2
  return 1
}

# The docked icons: mapped attention-tray windows embedded somewhere below
# the root (tooltips are children of the root and do not count).
icons() {
  local w info ws
  ws=$(tray_windows) || return 1
  for w in $ws; do
    info=$(xwininfo -children -id "$w" 2>/dev/null) || continue
    grep -q '^  Parent window id: .*(the root window)' <<<"$info" || echo "$w"
  done
}
# click_icon ID: a real pointer click on icon ID. Given an empty id, xdotool
# would click the desktop at the same offset and report success.
click_icon() {
  [ -n "$1" ] || fail "no icon to click"
  xdotool mousemove --window "$1" 8 11 click 1
}
icon_count_is() { [ "$(icons | wc -l)" -eq "$1" ]; }

expect_icons() {
  local n=$1
  shift
  poll 10 icon_count_is "$n" || fail "$*: expected $n icon(s), saw $(icons | wc -l)"
  ok "$* ($n icon(s))"
}

# --- client windows --------------------------------------------------------

managed() { xprop -id "$1" _NET_WM_DESKTOP 2>/dev/null | grep -q ' = '; }

# open_window VAR TITLE [RRGGBB [RRGGBB]]: VAR gets the X id, VAR_PID the pid.
open_window() {
  local var=$1 out=$WORK/win.$RANDOM.$RANDOM
  shift
  spawn "$out" "$TRAY_WIN" "$@"
  poll 10 test -s "$out" || fail "test window $1 did not map"
  printf -v "$var" '%s' "$(head -1 "$out")"
  printf -v "${var}_PID" '%s' "$LAST_PID"
  poll 10 managed "${!var}" || fail "window $1 is not managed"
}

# close_window ID PID: a polite close, as a user would; wait for the client.
close_window() {
  wmctrl -i -c "$1"
  poll 10 gone "$2" || fail "window $1 did not close"
  wait "$2" 2>/dev/null
}

has_state() { xprop -id "$1" _NET_WM_STATE | grep -q "$2"; }
lacks_state() { ! has_state "$@"; }
urgent() { xdotool set_window --urgency 1 "$1"; }
calm() {
  xdotool set_window --urgency 0 "$1"
  wmctrl -i -r "$1" -b remove,demands_attention
}
demand() { wmctrl -i -r "$1" -b add,demands_attention; }

active_window() {
  printf '%d' "$(xprop -root _NET_ACTIVE_WINDOW | sed -n 's/.*# \(0x[0-9a-f]*\).*/\1/p')"
}
is_active() { [ "$(active_window)" -eq "$(printf '%d' "$1")" ]; }
activate() { wmctrl -i -a "$1" && poll 10 is_active "$1" || fail "cannot activate $1"; }
current_desktop() { xprop -root _NET_CURRENT_DESKTOP | sed 's/.* = //'; }
on_desktop() { [ "$(current_desktop)" -eq "$1" ]; }

# Everything attention-tray was sent before this call has been handled once
# the sentinel's icon has come and gone again.
barrier() {
  local n=$1
  urgent "$SENTINEL"
  poll 10 icon_count_is $((n + 1)) || fail "barrier: expected $((n + 1)) icon(s), saw $(icons | wc -l)"
  calm "$SENTINEL"
  poll 10 icon_count_is "$n" || fail "barrier: expected $n icon(s) after, saw $(icons | wc -l)"
}

# --- images ----------------------------------------------------------------

# share_of WINDOW COLOUR: fraction (0-100) of the window's pixels near COLOUR.
share_of() {
  import -window "$1" "$WORK/shot.png" 2>/dev/null || return 1
  convert "$WORK/shot.png" -alpha off -fuzz 15% -fill black +opaque "$2" \
      -fill white -opaque "$2" -format '%[fx:int(100*mean)]' info:
}
mostly() {
  local s
  s=$(share_of "$1" "$2") && [ "$s" -ge "${3:-40}" ]
}

# --- tooltips --------------------------------------------------------------

# A shown tooltip: a mapped attention-tray window straight below the root.
tooltip() {
  local w info ws
  ws=$(tray_windows) || return 2
  for w in $ws; do
    info=$(xwininfo -children -id "$w" 2>/dev/null) || continue
    grep -q '^  Parent window id: .*(the root window)' <<<"$info" && echo "$w" && return 0
  done
  return 1
}
no_tooltip() { tooltip >/dev/null; [ $? -eq 1 ]; }

# hover ICON: point at the icon from elsewhere; TIP gets the tooltip window.
# GTK shows tooltips from pointer motion after a delay, so point again (a
# pixel further) if a tooltip does not come up within a few seconds.
hover() {
  local try
  for try in 1 2 3; do
    xdotool mousemove 400 500
    poll 10 no_tooltip || fail "a tooltip stays up with the pointer away"
    xdotool mousemove --window "$1" 7 10 mousemove --window "$1" 8 11
    if poll 4 tooltip >/dev/null; then
      TIP=$(tooltip)
      return 0
    fi
  done
  fail "no tooltip over icon $1"
}
width_of() { xwininfo -id "$1" | sed -n 's/^  Width: //p'; }
pixels_of() { import -window "$1" rgb:- 2>/dev/null | md5sum | cut -d' ' -f1; }
