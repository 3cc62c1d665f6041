#!/bin/bash
# Symbolic links planted under /var/lib/zpm, at every name zpm writes there, pointing at a file
# or a directory outside: zpm never writes or opens anything through them, and the install or
# update still succeeds.  The first case plants its link the way any package can, through its
# own link list; the others plant it directly.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
source "$(dirname "$0")/txnulib.sh"
pkgsrc pl
pkgfile pl /opt/pl/f pl-1
build pl
pkgsrc pl
pkgfile pl /opt/pl/f pl-2
pkgbuild pl 2.0 '' /tmp/p/pl-2.0.zpk
cp "$ZR/tmp/p/pl.zpk" "$ZR$REPO/pl-1.0.zpk"
pkgsrc evil
pkgfile evil /opt/evil/e e
pkginfo evil link.txt "$INV/fileindex|/tmp/victim|pl
"
build evil
tar -C "$ZR" -cf "$ZR_BASE/clean.tar" var/lib/zpm

# Each victim: a file, and a directory with a file in it, as they were before.
victims() {
  rm -rf "$ZR/tmp/victim" "$ZR/tmp/victimdir"
  printf 'precious\n' > "$ZR/tmp/victim"
  mkdir -p "$ZR/tmp/victimdir/new"
  printf 'precious\n' > "$ZR/tmp/victimdir/new/keep"
}
untouched() {
  [ "$(cat "$ZR/tmp/victim" 2>/dev/null)" = precious ] &&
    [ "$(cd "$ZR/tmp/victimdir" 2>/dev/null && find . | sort | tr '\n' ' ')" = ". ./new ./new/keep " ] &&
    [ "$(cat "$ZR/tmp/victimdir/new/keep")" = precious ]
}

# planted WHAT LINK TARGET CMD...: a fresh inventory (pl 1.0 installed for an update), the link
# LINK (below the inventory) to TARGET, then zpm CMD; the victims stay as they were, and pl
# ends up registered as the version CMD installs, with a regular file index.
planted() {
  local what=$1 link=$2 target=$3 want=1.0; shift 3
  rm -rf "$ZR$INV" && tar -C "$ZR" -xf "$ZR_BASE/clean.tar"
  victims
  if [ "$1" = -U ]; then zpm_do -I /tmp/p/pl.zpk; want=2.0; fi
  [ -n "$link" ] && ln -sfn "$target" "$ZR$INV/$link"
  yad_reset
  zpm_do "$@"
  check "$what: nothing is written through the link" untouched
  check_eq "$what: pl $want is registered, its index a file" "0 $want pl-${want%.0}" \
    "$RC $(inv_has pl && desc_version pl) $(test -f "$ZR$INV/fileindex/pl" && ! test -L "$ZR$INV/fileindex/pl" && content /opt/pl/f)"
}

rm -rf "$ZR$INV" && tar -C "$ZR" -xf "$ZR_BASE/clean.tar"
zpm_do -I /tmp/p/evil.zpk
check "a package's link list makes a link in the inventory" test -L "$ZR$INV/fileindex/pl"
victims
zpm_do -I /tmp/p/pl.zpk
check "the file index is not written through that link" untouched
check_eq "and pl is installed with its own index" "0 /opt/pl/f" "$RC $(fileindex pl)"

planted "stage file of a catalogue package" stagearea/pl_x86_64_1.0.zpk /tmp/victim -r -I pl
planted "lock file" lock /tmp/victim -I /tmp/p/pl.zpk
planted "file index" fileindex/pl /tmp/victim -I /tmp/p/pl.zpk
planted "new file index of an update" fileindex/.pl.new /tmp/victim -U /tmp/p/pl-2.0.zpk
planted "inventory entry" installed/pl /tmp/victimdir -I /tmp/p/pl.zpk
planted "new entry of an update" installed/.pl.new /tmp/victimdir -U /tmp/p/pl-2.0.zpk
planted "stage directory" stagearea/pl_x86_64_1.0 /tmp/victimdir -I /tmp/p/pl.zpk
planted "install log" install.log /tmp/victim -I /tmp/p/pl.zpk
check_eq "the install log is a file of its own again" "installed pl_x86_64_1.0 as requested by user" \
  "$(test -L "$ZR$INV/install.log" || install_events)"
planted "journal" journal /tmp/victim -I /tmp/p/pl.zpk
finish
