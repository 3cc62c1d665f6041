#!/bin/bash
# A write that fails while a package is unpacked into the stage area (strace fault injection
# on every write and every close of the unpack; a stage area on a tiny tmpfs filled up to every
# point of the unpack), for install and for update: the run fails with "Failure unpacking" and
# leaves the system as it was (or, with enough room, succeeds with every file whole); never a
# damaged or zero-filled file reported as installed or updated, never an init script
# registered cut.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
source "$(dirname "$0")/txnulib.sh"
if ! zroot_run strace -V >/dev/null 2>&1; then
  fail "strace is installed"
  finish
fi

blob() { head -c "$2" /dev/zero | tr '\0' "$1"; }
# make_pkg VERSION LETTER: /opt/u/a, /opt/u/b and a configuration script, told by LETTER.
make_pkg() {
  pkgsrc u
  pkgfile u /opt/u/a "$(blob "$2" 9000)"
  pkgfile u /opt/u/b "$(blob "$2" 3000)"
  pkgscript u 99-cfg.sh "echo $2 >> /tmp/cfg-ran # $(blob "$2" 2000)"
  pkgbuild u "$1" '' "/tmp/pkgs/u-$1.zpk"
  cp -a "$ZR/tmp/pkgsrc/u" "$ZR/tmp/src-$1"
}
make_pkg 1.0 A
make_pkg 2.0 b

snapshot() { tar -C "$ZR" -cf "$ZR_BASE/$1.tar" var/lib/zpm $(cd "$ZR" && ls -d opt/u 2>/dev/null); }
restore() { rm -rf "$ZR$INV" "$ZR/opt/u" "$ZR/tmp/cfg-ran"; tar -C "$ZR" -xf "$ZR_BASE/$1.tar"; }

# intact VERSION: the files and the registered script are exactly those of VERSION.
intact() {
  cmp -s "$ZR/opt/u/a" "$ZR/tmp/src-$1/data/opt/u/a" &&
    cmp -s "$ZR/opt/u/b" "$ZR/tmp/src-$1/data/opt/u/b" &&
    cmp -s "$ZR$INV/installed/u/init/99-cfg.sh" "$ZR/tmp/src-$1/init/99-cfg.sh"
}

# outcome WHAT NEEDLE OLD NEW [may-succeed]: after a run that met a fault, either it failed
# (NEEDLE in the log or the dialogs) and left OLD (nothing, or the installed OLD) as it was, or,
# where a success is possible at all, it succeeded with NEW whole.
outcome() {
  local texts; texts=$(yad_texts)
  if [ -n "${5:-}" ] && [[ "$texts" == *successfully* ]]; then
    check "$1: reported success, so $4 is whole" intact "$4"
    return
  fi
  check "$1: fails ($2)" grep -qF -- "$2" <(cat "$ZR/var/log/zpm.log"; echo "$texts")
  if [ "$3" = none ]; then
    check "$1: nothing is installed" test ! -e "$ZR$INV/installed/u" -a ! -e "$ZR/opt/u"
  else
    check_eq "$1: $3 stays registered" "$3" "$(desc_version u)"
    check "$1: with its files whole" intact "$3"
  fi
}

# unpack_calls SYSCALL MODE PKG: the ordinal numbers, among that system call's own calls, of
# the writes into the files of the unpacked package, or of the closes that end those writes.
unpack_calls() {
  zroot_run strace -y -s 0 -o /tmp/trace -e trace=write,close /usr/bin/zpm -f "$2" "$3" \
    >/dev/null 2>&1 </dev/null
  awk -v sc="$1" '
    { name = $0; sub(/\(.*/, "", name); n[name]++; file = "" }
    match($0, /<[^>]*stagearea\/u_[^\/]*\/new\/(data\/opt\/u|hash|info|init)\/[^\/>]+>/) {
      file = substr($0, RSTART, RLENGTH) }
    file != "" && name == "write" { written[file] = 1; if (sc == "write") print n[name] }
    file != "" && name == "close" && written[file] { delete written[file]
      if (sc == "close") print n[name] }' "$ZR/tmp/trace"
}

# sweep WHAT MODE PKG OLD NEW: every write of the unpack fails once, with EIO and with ENOSPC,
# and every close of an unpacked file fails once with EIO.
sweep() {
  local n sc err points=0
  for sc in write:EIO write:ENOSPC close:EIO; do
    restore "$4"
    for n in $(unpack_calls "${sc%:*}" "$2" "$3"); do
      restore "$4"
      : > "$ZR/var/log/zpm.log"
      yad_reset
      zroot_run strace -o /dev/null -e trace="${sc%:*}" \
        -e inject="${sc%:*}":error="${sc#*:}":when="$n" /usr/bin/zpm -f "$2" "$3" \
        >/dev/null 2>&1 </dev/null
      outcome "$1, $sc at #$n" "Failure unpacking" "$4" "$5"
      points=$((points + 1))
    done
  done
  check "$1: the unpack's writes and closes were found ($points faults)" test "$points" -ge 12
}

rm -rf "$ZR$INV/stagearea"/*
snapshot none
zpm_do -I /tmp/pkgs/u-1.0.zpk
check "1.0 installs whole" intact 1.0
snapshot 1.0
sweep install -I /tmp/pkgs/u-1.0.zpk none 1.0
sweep update -U /tmp/pkgs/u-2.0.zpk 1.0 2.0

# ------------------------------------------------- a stage area that fills up
# The stage area on a tmpfs of 64 KiB; a filler leaves room for FREE pages, from none up to
# enough for the whole package.
full_stage() {
  local what=$1 mode=$2 pkg=$3 old=$4 new=$5 free
  for free in 0 1 2 3 4 5 6 7 8 9 10 12; do
    restore "$old"
    mount -t tmpfs -o size=64k,mode=0755 stage "$ZR$INV/stagearea"
    dd if=/dev/zero of="$ZR$INV/stagearea/.filler" bs=4k count=$((16 - free)) 2>/dev/null
    : > "$ZR/var/log/zpm.log"
    yad_reset
    zpm_do "$mode" "$pkg"
    outcome "$what, stage area with $free free pages" "Failure" "$old" "$new" may-succeed
    umount "$ZR$INV/stagearea"
  done
}
full_stage "install" -I /tmp/pkgs/u-1.0.zpk none 1.0
full_stage "update" -U /tmp/pkgs/u-2.0.zpk 1.0 2.0
finish
