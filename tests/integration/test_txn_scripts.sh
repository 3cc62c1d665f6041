#!/bin/bash
# What a package script gets from zpm: /dev/null as standard input and no descriptor beyond the
# standard three, whatever zpm's caller left open; and with zpm_script_timeout a script that
# runs too long is killed, with everything it started, and counts as failed.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
pkgsrc fds
pkgfile fds /opt/fds/f f
pkgscript fds 00-add.sh 'readlink /proc/self/fd/0 > /tmp/fds-stdin
ls /proc/$$/fd > /tmp/fds-list'
build fds
printf 'from the terminal\n' > "$ZR/tmp/input"
zroot_run sh -c 'exec 7>/tmp/seven 8</tmp/input; exec /usr/bin/zpm -f -I /tmp/p/fds.zpk' \
  <"$ZR/tmp/input" >/dev/null 2>&1
check_eq "installed" 0 "$?"
check_eq "the script reads from /dev/null" /dev/null "$(cat "$ZR/tmp/fds-stdin")"
# ash keeps the script open on a descriptor of its own, above 9.
check_eq "it has no descriptor of its caller's" "0 1 2" \
  "$(sort -n "$ZR/tmp/fds-list" | awk '$1 < 10' | tr '\n' ' ' | sed 's/ $//')"

pkgsrc slow
pkgfile slow /opt/slow/f f
pkgscript slow 99-add.sh 'sleep 20 &
echo $! > /tmp/slow-child
sleep 20'
build slow
echo 'zpm_script_timeout=2' >> "$ZR/etc/zpm.conf"
start=$(date +%s)
yad_reset; zpm_do -I /tmp/p/slow.zpk
took=$(($(date +%s) - start))
check_eq "a script past the bound fails with the status of a killed process" \
  "Failure installing /tmp/p/slow.zpk, rc: 9
|" "$(yad_texts)"
check "within a few seconds of the bound ($took s)" test "$took" -lt 15
# A killed process has no descriptors, also while it waits to be reaped.
child=$(cat "$ZR/tmp/slow-child" 2>/dev/null)
for _ in 1 2 3 4 5 6 7 8 9 10; do [ -e "/proc/${child:-0}/fd/0" ] || break; sleep 0.2; done
check "what it started is gone too" test -n "$child" -a ! -e "/proc/${child:-0}/fd/0"
check "the install is rolled back" test ! -e "$ZR/opt/slow/f" -a ! -e "$ZR$INV/installed/slow"
check "the stop is logged" log_has "$INV/stagearea/slow_x86_64_1.0/new/init/99-add.sh ran longer than 2 seconds, stopping it"
sed -i 's/^zpm_script_timeout=.*/zpm_script_timeout=soon/' "$ZR/etc/zpm.conf"
yad_reset; zpm_do -I /tmp/p/fds.zpk
check "a bound that is not a number is refused" log_has "zpm_script_timeout soon is not a number of seconds"
finish
