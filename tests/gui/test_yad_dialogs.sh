#!/bin/bash
# zpm's dialogs with the real yad on an X server of their own: a timed message, a question
# answered by a key press, a read-only form, a table with a row chosen by the pointer, and
# Escape.  Every dialog is started through zpm's own functions (tests/tools/zpmui-driver).
# Screenshots go to $ZPM_BUILD/gui-artifacts/.
set -uo pipefail
ZPM_SRC=${ZPM_SRC:-$(cd "$(dirname "$0")/../.." && pwd)}
ZPM_BUILD=${ZPM_BUILD:-$ZPM_SRC/build}
DRIVER=$ZPM_BUILD/tests/zpmui-driver
ART=$ZPM_BUILD/gui-artifacts
TITLE='^zpm: Zorvek Package Manager$'
mkdir -p "$ART"
PASSED=0 FAILED=0
pass() { PASSED=$((PASSED + 1)); echo "ok: $1"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $1"; }
check_eq() { if [ "$2" == "$3" ]; then pass "$1"; else fail "$1 (expected '$2', got '$3')"; fi; }

for tool in Xvfb openbox xdotool xdpyinfo import yad; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 1; }
done
[ -x "$DRIVER" ] || { echo "missing $DRIVER"; exit 1; }

XPID="" WMPID=""
cleanup() {
  [ -n "$WMPID" ] && kill "$WMPID" 2>/dev/null
  [ -n "$XPID" ] && kill "$XPID" 2>/dev/null
  rm -f "${OUTS[@]}" 2>/dev/null
}
trap cleanup EXIT
OUTS=()

# poll TRIES CMD...: runs CMD every 0.1 s until it succeeds, at most TRIES times.
poll() {
  local n=$1; shift
  while [ "$n" -gt 0 ]; do "$@" && return 0; n=$((n - 1)); sleep 0.1; done
  return 1
}

# A display nobody uses, its server and a window manager (keyboard focus needs one).
for N in $(seq 140 199); do
  [ -e "/tmp/.X11-unix/X$N" ] || [ -e "/tmp/.X$N-lock" ] || break
done
# -noreset: else the server resets when the probe below leaves, refusing openbox meanwhile.
Xvfb ":$N" -screen 0 1280x1024x24 -nolisten tcp -noreset >"$ART/xvfb.log" 2>&1 &
XPID=$!
export DISPLAY=":$N"
poll 100 xdpyinfo >/dev/null 2>&1 || { echo "Xvfb did not start"; exit 1; }
openbox >"$ART/openbox.log" 2>&1 &
WMPID=$!
wm_up() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
poll 300 wm_up || { echo "openbox did not start"; exit 1; }

# start NAME ARGS...: runs the driver in the background; its output goes to $OUT.
start() {
  OUT=$(mktemp); OUTS+=("$OUT")
  "$DRIVER" "$@" >"$OUT" 2>>"$ART/driver.log" &
  DPID=$!
}
# The dialog's window once it is shown and drawn (more than a few colours in it).
drawn() { [ "$(import -window "$WIN" png:- 2>/dev/null | identify -format '%k' - 2>/dev/null)" -gt 8 ]; }
find_win() { WIN=$(xdotool search --onlyvisible --name "$TITLE" 2>/dev/null | head -n 1); [ -n "$WIN" ]; }
wait_dialog() {
  poll 150 find_win || { fail "$1: no window"; return 1; }
  poll 100 drawn || { fail "$1: window never drawn"; return 1; }
  return 0
}
focus() { xdotool windowactivate --sync "$WIN" >/dev/null 2>&1; }
# The driver's result once it has ended (bounded); "timeout" when it did not end.
result() {
  if poll "${1:-100}" bash -c "! kill -0 $DPID 2>/dev/null"; then
    wait "$DPID"; cat "$OUT"
  else
    kill "$DPID" 2>/dev/null; echo timeout
  fi
}
shot() { import -window root "$ART/$1.png"; }
gone() { ! find_win; }

# 1. A message that closes itself: yad ends with 70 after its timeout.
start info $'Package alpha installed.\nThis message closes itself.' 0
if wait_dialog "timed message"; then
  shot timed-message
  check_eq "timed message ends with 70" 70 "$(result 80)"
fi
poll 50 gone

# 2. A question answered by a real key press: Return takes the first button, yes.
start yesno "Install alpha and 2 more packages?" 1
if wait_dialog "question"; then
  shot question
  focus
  xdotool key Return
  check_eq "question answered yes with Return" 1 "$(result)"
fi
poll 50 gone

# 3. A read-only form: a run of one key shows its label once.
start form "Package alpha" Name=alpha Version=1.0 Depends=beta Depends=gamma
if wait_dialog "form"; then
  shot form
  focus
  xdotool key Return
  check_eq "form closed with OK" 0 "$(result)"
fi
poll 50 gone

# 4. A table: OK alone chooses nothing; a clicked row is the choice.
start table "Installed packages" "Name,Version" "alpha,1.0" "beta,2.0" "gamma,3.0"
if wait_dialog "table without a choice"; then
  focus
  eval "$(xdotool getwindowgeometry --shell "$WIN")"
  xdotool mousemove $((X + 400)) $((Y + HEIGHT - 42)) click 1 # the OK button
  check_eq "table: OK alone chooses nothing" 0 "$(result)"
fi
poll 50 gone
start table "Installed packages" "Name,Version" "alpha,1.0" "beta,2.0" "gamma,3.0"
if wait_dialog "table"; then
  focus
  eval "$(xdotool getwindowgeometry --shell "$WIN")"
  xdotool mousemove $((X + 30)) $((Y + 81)) click 1 # the second row, beta
  shot table-row-chosen
  xdotool mousemove $((X + 400)) $((Y + HEIGHT - 42)) click 1
  check_eq "table: the clicked row's ID" 2 "$(result)"
fi
poll 50 gone

# 5. Escape closes a dialog with 252.
start info "Press Escape to close this message." 1
if wait_dialog "escape"; then
  focus
  xdotool key Escape
  check_eq "Escape ends with 252" 252 "$(result)"
fi

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
