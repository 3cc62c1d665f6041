#!/bin/bash
# Start-up of the real zpm in a throwaway root: the user interface probe, the configuration
# file, the log set-ups, the catalogue back end, the menu placeholder, and dialog texts that
# hold shell syntax.
source "$(dirname "$0")/lib.sh"

setup_root
CONF=$(cat "$ZR/etc/zpm.conf")
reset_conf() { printf '%s\n' "$CONF" "$@" > "$ZR/etc/zpm.conf"; rm -f "$ZR/var/log/zpm.log"; }
log_text() { cat "$ZR/var/log/zpm.log" 2>/dev/null; }

# --- the user interface must come first --------------------------------------------------
touch "$FY/noversion"
for args in "-V" "-H" "-I foo" "-V -Z"; do
  zpm_run $args
  check_eq "no yad version: $args exits 1" 1 "$RC"
  check_eq "no yad version: $args says why, only that" "Failed to initualize user interface" "$ERR"
  check_eq "no yad version: $args prints nothing else" "" "$OUT"
done
rm -f "$FY/noversion"
mv "$ZR/usr/bin/yad" "$ZR/usr/bin/yad.away"
zpm_run -V
check_eq "yad missing: exit 1" 1 "$RC"
check_eq "yad missing: message" "Failed to initualize user interface" "$ERR"
mv "$ZR/usr/bin/yad.away" "$ZR/usr/bin/yad"
zpm_run -V
check_eq "with yad the version shows" "0 zpm 1.0.24" "$RC $ERR"

# --- menu placeholder ---------------------------------------------------------------------
yad_reset
zpm_run menu
check_eq "menu exits 0" 0 "$RC"
check_eq "menu shows one dialog" 1 "$(yad_calls)"
check_eq "menu dialog" "--title=zpm: Zorvek Package Manager
--center
--width=400
--height=200
--text
menu mode not yet implemented

--no-markup
--button=gtk-ok:0
--timeout=3" "$(yad_args 1)"

# --- configuration file -------------------------------------------------------------------
rm -f "$ZR/etc/zpm.conf"
zpm_run -P
check_eq "no config: exit 1" 1 "$RC"
check_contains "no config: message" "Failed to read zpm config /etc/zpm.conf" "$ERR"
zpm_run -P -o debug=true
check_contains "debug names the config file" "Reading zpm config file /etc/zpm.conf" "$ERR"

reset_conf "include /etc/zpm.conf"
out=$(mktemp); zroot_run timeout 60 /usr/bin/zpm -P >"$out" 2>&1 </dev/null; RC=$?; rm -f "$out"
check "self-including config does not hang" test "$RC" -ne 124
check "self-including config does not crash" test "$RC" -lt 128

# --- log set-ups --------------------------------------------------------------------------
reset_conf "zpm_loglevel=15"
zpm_run -P
check_eq "root run: exit 0" 0 "$RC"
check "root run writes the log" grep -q '^[0-9]\{4\}-[0-9][0-9]-[0-9][0-9] [0-9:]\{8\} \[DEBUG\] Running in interactive mode$' "$ZR/var/log/zpm.log"
check_contains "backend named in the log" "[DEBUG] No catalogue backend speficied, using zpc-dirs.so" "$(log_text)"
check_contains "backend path in the log" "[DEBUG] Loading zpm backend /usr/lib/zpm/zpc-dirs.so" "$(log_text)"
reset_conf "zpm_loglevel=15"
zpm_run -P -d
check_contains "defaults mode logged" "[DEBUG] Running in defaults mode" "$(log_text)"
reset_conf "zpm_loglevel=15"
zpm_run -P -o vote=force
check_contains "force mode logged" "[DEBUG] Running in non-interactive mode" "$(log_text)"

reset_conf "zpm_loglevel=abc"
zpm_run -P
check_contains "unreadable level: default 7" "Setting log level 7" "$(log_text)"
check_not_contains "unreadable level: no debug lines" "[DEBUG]" "$(log_text)"

reset_conf "zpm_loglevel=7"
zpm_run -P -o debug=true
check_contains "debug option: debug lines" "[DEBUG] Running in interactive mode" "$(log_text)"
check_contains "debug option: config printed" "$(printf '%-20s: <%s>' arch_name x86_64)" "$OUT"
check_contains "debug option: options printed" "$(printf '%-20s: <%s>' debug true)" "$OUT"

reset_conf "zpm_loglevel=15"
zpm_run -P -l /tmp/mine.log
check_eq "-l: exit 0" 0 "$RC"
check "-l writes the named file" grep -q '\[DEBUG\] Running in interactive mode' "$ZR/tmp/mine.log"
check "-l: no /var/log/zpm.log" test ! -e "$ZR/var/log/zpm.log"

long=/tmp/$(printf 'L%.0s' $(seq 2000))
zpm_run -P -l "$long"
check_eq "2000-char log name: still runs" 0 "$RC"
check_contains "2000-char log name refused" "log file specified too long" "$ERR"

reset_conf "zpm_loglevel=15"
chmod 0777 "$FY"
out=$(zroot_run_as 65534 /usr/bin/zpm -P -o debug=true 2>&1 </dev/null); RC=$?
check_eq "non-root: exit 0" 0 "$RC"
check "non-root: no log file" test ! -e "$ZR/var/log/zpm.log"
check_not_contains "non-root: debug lines reach nowhere" "Running in" "$out"

# --- catalogue back end -------------------------------------------------------------------
reset_conf "zpm_loglevel=15" "zpc_backend=/opt/x/my.so"
zpm_run -P
check_eq "configured back end missing: exit 2" 2 "$RC"
check_contains "only the file name counts" "[DEBUG] Loading zpm backend /usr/lib/zpm/my.so" "$(log_text)"
check_contains "named back end logged" "[DEBUG] my.so specified as catalogue backend" "$(log_text)"
check_contains "failure on standard error" "Failed to load catalogue backend my.so!" "$ERR"
reset_conf
rm -f "$ZR/usr/lib/zpm/zpc-dirs.so"
zpm_run -P
check_eq "default back end missing: exit 2" 2 "$RC"
check_contains "default back end failure" "Failed to load catalogue backend zpc-dirs.so!" "$ERR"

# --- dialog texts with shell syntax -------------------------------------------------------
install -m 0755 "$ZPM_BUILD/tests/zpmui-driver" "$ZR/usr/bin/zpmui-driver"
hostile=$'it\'s "quoted" $(touch /tmp/pwned) `touch /tmp/pwned2`; touch /tmp/pwned3\nline 2'
yad_reset
out=$(zroot_run zpmui-driver info "$hostile" 1)
check_eq "hostile info: dialog ran" 0 "$out"
check_eq "hostile info: shown literally" "$hostile" "$(tr '\0' '\n' < "$FY/1.args0" | sed -n '6,7p')"
zroot_run zpmui-driver yesno "$hostile" >/dev/null
check_eq "hostile question: shown literally" "$hostile" "$(tr '\0' '\n' < "$FY/2.args0" | tail -n 2)"
zroot_run zpmui-driver form "$hostile" "Name=$hostile" >/dev/null
check_eq "hostile form value: shown literally" "$hostile" "$(tr '\0' '\n' < "$FY/3.args0" | tail -n 2)"
check "nothing ran from the texts" test ! -e "$ZR/tmp/pwned" -a ! -e "$ZR/tmp/pwned2" -a ! -e "$ZR/tmp/pwned3"

# The same through zpm itself: the owner of a file is an installed package with a hostile name.
reset_conf
install -m 0644 "$ZPM_BUILD/src/backends/zpc-dirs/zpc-dirs.so" "$ZR/usr/lib/zpm/"
evil=$'ev\'il"$(touch pwned)`touch pwned2`'
mkdir -p "$ZR/var/lib/zpm/installed/$evil"
printf 'ezpmVersion: 1.0\nezpkName: %s\nezpkVersion: 1.0\nezpkArchitecture: any\n' "$evil" \
  > "$ZR/var/lib/zpm/installed/$evil/desc.txt"
printf 'ezpkInstallTime: 86400\nezpkInstallType: X\n' > "$ZR/var/lib/zpm/installed/$evil/inst.txt"
printf '/usr/bin/evil\n' > "$ZR/var/lib/zpm/fileindex/$evil"
yad_reset
zpm_run -F /usr/bin/evil
check_eq "owner dialog: exit 0" 0 "$RC"
check_eq "owner dialog: name shown literally" "$evil" "$(tr '\0' '\n' < "$FY/1.args0" | sed -n 6p)"
check "owner dialog: nothing ran" test ! -e "$ZR/pwned" -a ! -e "$ZR/pwned2"

finish
