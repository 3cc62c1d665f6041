#!/bin/bash
# A short attention-tray session under valgrind: no memory errors and no
# leaks of its own by the time SIGTERM has ended it. GTK's and its helpers'
# own one-off allocations are listed in attention-tray.supp.
source "$(dirname "$0")/tray-lib.sh"
need_tools valgrind
SUPP=$(dirname "$0")/attention-tray.supp

desktop_start
TRAY_START_SECS=120
tray_start valgrind --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --error-exitcode=99 --num-callers=40 \
    --suppressions="$SUPP" ${TRAY_GEN_SUPP:+--gen-suppressions=all} \
    --log-file="$WORK/valgrind.out"
open_window SENTINEL sentinel
open_window A Alpha ff0000 00ff00
open_window B Beta
# Give every path some work: create, update (icon, name), click, remove.
demand "$A"
expect_icons 1 "under valgrind: demands attention"
icon=$(icons)
kill -USR1 "$A_PID"
poll 30 mostly "$icon" lime || fail "the icon did not follow the window's icon"
xdotool set_window --name "Alpha renamed" "$A"
hover "$icon"
click_icon "$icon"
poll 30 is_active "$A" || fail "clicking did not activate the window"
expect_icons 0 "under valgrind: activated"
urgent "$B"
expect_icons 1 "under valgrind: urgent"
close_window "$B" "$B_PID"
expect_icons 0 "under valgrind: closed"
urgent "$A"
expect_icons 1 "under valgrind: an icon left at exit"

TRAY_STOP_SECS=60
tray_stop TERM
[ -n "${TRAY_GEN_SUPP:-}" ] && cp "$WORK/valgrind.out" "$TRAY_GEN_SUPP"
grep -q 'ERROR SUMMARY: 0 errors' "$WORK/valgrind.out" || {
  cat "$WORK/valgrind.out" >&2
  fail "valgrind reported errors (exit $TRAY_RC)"
}
[ "$TRAY_RC" -eq 0 ] || fail "attention-tray under valgrind exited $TRAY_RC"
ok "valgrind: no errors, no leaks of our own, exit status 0"
