#!/bin/bash
# attention-tray on a real (virtual) desktop: every check goes through the
# X server, as a user or another client would see it.
source "$(dirname "$0")/tray-lib.sh"
need_tools

# --- command line, no display needed ---------------------------------------
err=$(env -u DISPLAY "$TRAY_BIN" --bogus-option 2>&1 >/dev/null)
rc=$?
[ $rc -eq 1 ] || fail "--bogus-option exited $rc"
[ "$err" = "Error while parsing arguments: Unknown option --bogus-option" ] ||
    fail "--bogus-option said: $err"
ok "an unknown option is refused with status 1"
out=$(env -u DISPLAY "$TRAY_BIN" --help) || fail "--help failed"
grep -qx "Monitor windows with the urgency hint set, and display a notification icon for each of them." <<<"$out" ||
    fail "--help lacks the summary: $out"
grep -q -- '--help-gtk' <<<"$out" || fail "--help lacks the GTK options"
ok "--help shows the summary and the GTK option group"
err=$(env -u DISPLAY "$TRAY_BIN" 2>&1 >/dev/null)
rc=$?
[ $rc -eq 1 ] && [[ $err == "Error while parsing arguments: Cannot open display: "* ]] ||
    fail "without a display: status $rc, said: $err"
ok "without a display the GTK options refuse to start, status 1"

desktop_start
# A window already asking for attention when attention-tray starts.
open_window F Early
open_window SENTINEL sentinel
demand "$F"
poll 10 has_state "$F" _NET_WM_STATE_DEMANDS_ATTENTION || fail "no attention on F"
tray_start
expect_icons 1 "a window asking for attention before the start"
calm "$F"
expect_icons 0 "a fresh desktop"
close_window "$F" "$F_PID"

# --- a window that never asked for attention ---------------------------------
open_window C Quiet
close_window "$C" "$C_PID"
barrier 0
expect_icons 0 "closing a window that never had an icon"

# --- urgency hint, twice ------------------------------------------------------
open_window U Urgent
urgent "$U"
expect_icons 1 "urgency hint set"
first=$(icons)
urgent "$U"
barrier 1
[ "$(icons)" = "$first" ] || fail "setting urgency again replaced the icon"
ok "setting the urgency hint twice keeps the one icon"

# --- minimising and maximising -------------------------------------------------
xdotool windowminimize "$U"
poll 10 has_state "$U" _NET_WM_STATE_HIDDEN || fail "window did not minimise"
barrier 1
[ "$(icons)" = "$first" ] || fail "minimising changed the icon"
wmctrl -i -r "$U" -b add,maximized_vert,maximized_horz
poll 10 has_state "$U" _NET_WM_STATE_MAXIMIZED_VERT || fail "window did not maximise"
barrier 1
[ "$(icons)" = "$first" ] || fail "maximising changed the icon"
open_window N Normal
wmctrl -i -r "$N" -b add,maximized_vert,maximized_horz
poll 10 has_state "$N" _NET_WM_STATE_MAXIMIZED_VERT || fail "window did not maximise"
xdotool windowminimize "$N"
poll 10 has_state "$N" _NET_WM_STATE_HIDDEN || fail "window did not minimise"
barrier 1
[ "$(icons)" = "$first" ] || fail "another window's state created an icon"
ok "minimising or maximising creates or removes no icon"

# --- clearing and closing ------------------------------------------------------
calm "$U"
expect_icons 0 "urgency hint cleared"
urgent "$U"
expect_icons 1 "urgency hint set again"
close_window "$U" "$U_PID"
expect_icons 0 "the urgent window closed"
close_window "$N" "$N_PID"

# --- demands attention, its image, and its tooltip -----------------------------
open_window A Alpha ff0000 00ff00
open_window B Beta
activate "$B"
demand "$A"
expect_icons 1 "demands attention on a window that is not active"
icon=$(icons)
poll 10 mostly "$icon" red || fail "the icon does not show the window's red icon"
ok "the icon shows the window's own icon"
kill -USR1 "$A_PID"
poll 10 mostly "$icon" lime || fail "the icon did not follow the window's new icon"
ok "the icon follows a change of the window's icon"
[ "$(icons)" = "$icon" ] || fail "an icon change replaced the icon"
demand "$A"
barrier 1
[ "$(icons)" = "$icon" ] || fail "demanding attention twice replaced the icon"
ok "demanding attention twice keeps the one icon"

hover "$icon"
short_w=$(width_of "$TIP")
poll 10 eval '[ "$(pixels_of "$TIP")" = "$(pixels_of "$TIP")" ]'
short_px=$(pixels_of "$TIP")
xdotool set_window --name "Alpha, now with a considerably longer name" "$A"
hover "$icon"
poll 10 eval '[ "$(width_of "$TIP")" -gt "$short_w" ]' ||
    fail "the tooltip did not grow with the window's name"
xdotool set_window --name Alpha "$A"
hover "$icon"
poll 10 eval '[ "$(pixels_of "$TIP")" = "$short_px" ]' ||
    fail "the tooltip did not come back to the window's old name"
xdotool mousemove 400 500
ok "the tooltip follows the window's name"

# --- a screenshot of the tray with icons ---------------------------------------
open_window E Echo
activate "$E"
urgent "$B"
expect_icons 2 "two windows asking for attention"
mkdir -p "$TRAY_ART"
import -window "$PANEL" "$TRAY_ART/attention-tray.png" || fail "no screenshot"
ok "screenshot in $TRAY_ART/attention-tray.png"
calm "$B"
expect_icons 1 "one of two calmed down"
# The icon left is Alpha's: its lime image, in the very window it had before.
# The icon that passed the check is the one clicked below, not the answer of
# a second look-up.
alpha_icon=$icon
only_icon_is_lime() {
  icon=$(icons)
  [ -n "$icon" ] && [ "$(wc -l <<<"$icon")" -eq 1 ] && mostly "$icon" lime
}
poll 10 only_icon_is_lime || fail "calming one window removed the other's icon"
[ "$icon" = "$alpha_icon" ] || fail "calming one window replaced the other's icon"

# --- clicking brings the window forward ----------------------------------------
click_icon "$icon"
poll 10 is_active "$A" || fail "clicking the icon did not activate its window"
ok "clicking the icon activates its window"
# The window manager drops demands-attention from the window it focuses.
expect_icons 0 "an activated window no longer demands attention"

open_window D Delta 0000ff
wmctrl -i -r "$D" -t 2
poll 10 eval 'xprop -id "$D" _NET_WM_DESKTOP | grep -q " = 2$"' || fail "no move to desktop 2"
activate "$A"
demand "$D"
expect_icons 1 "a window on another desktop demands attention"
on_desktop 0 || fail "the desktop changed by itself"
click_icon "$(icons)"
poll 10 on_desktop 2 || fail "clicking did not switch to the window's desktop"
poll 10 is_active "$D" || fail "clicking did not activate the window on desktop 2"
ok "clicking the icon of a window elsewhere switches desktop and activates it"
wmctrl -s 0
poll 10 on_desktop 0 || fail "cannot go back to desktop 0"
close_window "$D" "$D_PID"
barrier 0
for w in A B E; do
  id=${!w}
  pid_var=${w}_PID
  close_window "$id" "${!pid_var}"
done

# --- a seeded random walk over five windows ------------------------------------
SEED=${TRAY_SEED:-2027}
RANDOM=$SEED
declare -a RW RW_PID WANT
for i in 0 1 2 3 4; do
  open_window tmp "Random $i"
  RW[i]=$tmp RW_PID[i]=$tmp_PID WANT[i]=0
done
wanted() { local n=0 i; for i in 0 1 2 3 4; do n=$((n + WANT[i])); done; echo $n; }
for step in $(seq 1 30); do
  i=$((RANDOM % 5))
  action=$((RANDOM % 3))
  if [ -z "${RW[i]}" ]; then
    open_window tmp "Random $i"
    RW[i]=$tmp RW_PID[i]=$tmp_PID
  fi
  case $action in
    0) urgent "${RW[i]}"; WANT[i]=1; what="urgent" ;;
    1) calm "${RW[i]}"; WANT[i]=0; what="calm" ;;
    2) close_window "${RW[i]}" "${RW_PID[i]}"; RW[i]="" WANT[i]=0; what="close" ;;
  esac
  n=$(wanted)
  barrier "$n"
  icon_count_is "$n" || fail "seed $SEED step $step ($what $i): expected $n icon(s), saw $(icons | wc -l)"
done
ok "30 random steps (seed $SEED) kept one icon per window asking for attention"

# --- quitting -------------------------------------------------------------------
tray_stop TERM
[ "$TRAY_RC" -eq 0 ] || fail "attention-tray exited $TRAY_RC on SIGTERM"
ok "SIGTERM ends attention-tray with status 0"
echo "all $CHECKS checks passed"
