#!/bin/bash
# Restores never destroy a backup.  A replaced file comes back as the very file it was (saved
# by a hard link, put back by a rename); and when a post-install script turned a replaced path
# into a directory and failed, the restore of that path fails: the backup directory stays,
# with the user's file in it, is named in the failure message and in the log, and no later run
# clears or reuses it: each tries the undo again first, and changes nothing while it fails.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
OLD=$STAGE/r_x86_64_1.0/old

pkgsrc r; pkgfile r /opt/r/conf packaged; pkgfile r /opt/r/other other
pkgscript r 99-add.sh '[ -f /tmp/turn ] && rm /opt/r/conf && mkdir /opt/r/conf; exit 1'
build r
mkdir -p "$ZR/opt/r"; printf 'user data' > "$ZR/opt/r/conf"
ino=$(stat -c %i "$ZR/opt/r/conf")

# ------------------------------------------------ the script fails: everything comes back
zpm_do -I /tmp/p/r.zpk
check "r: not registered" test ! -e "$ZR$INV/installed/r"
check_eq "r: the user's file is back as the same file" "user data $ino" \
  "$(content /opt/r/conf) $(stat -c %i "$ZR/opt/r/conf")"
check "r: the backups are dropped after the restore" test ! -e "$ZR$STAGE/r_x86_64_1.0"

# ------------------------------------------------ the script made a directory of it
touch "$ZR/tmp/turn"
yad_reset
zpm_do -I /tmp/p/r.zpk
check_eq "r: the failure names the kept backups" "Failure installing /tmp/p/r.zpk, rc: 256
The files that could not be restored are kept in $OLD
|" "$(yad_texts)"
check_eq "r: the user's file is in them, listed" "user data /opt/r/conf" \
  "$(content "$OLD/opt/r/conf") $(cat "$ZR$OLD/index.txt")"
check "r: the log names them" log_has "The files that could not be restored are kept in $OLD"
check "r: the restore failure is logged" log_has "Failure restoring /opt/r/conf"
check "r: what could be undone is" test ! -e "$ZR/opt/r/other" -a ! -e "$ZR$INV/installed/r"
check "r: the change is left for the next run to undo" test -s "$ZR$INV/journal"

# ------------------------------------------------ a later run cannot finish the undo either
yad_reset
zpm_do -I /tmp/p/r.zpk
check_eq "r: installing again is refused, naming them" "Failure installing /tmp/p/r.zpk, rc: -1
The files that could not be restored are kept in $OLD
|" "$(yad_texts)"
check_eq "r: the user's file is still in them" "user data" "$(content "$OLD/opt/r/conf")"
finish
