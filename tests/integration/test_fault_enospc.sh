#!/bin/bash
# A full file system under the files of a package: the targets lie on a tiny tmpfs of their
# own and the package replaces three files of the user's there.  With room for the package,
# and with a file system that fills up before its last file (so that the files replaced
# before are put back), every write to a target, a temporary file beside it, a backup or the
# backup index fails in turn with ENOSPC (strace fault injection).  After every run: a package
# reported installed has every file whole and new; otherwise the user's files are
# byte-identical to what they were; and no temporary file is left.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
if ! zroot_run strace -V >/dev/null 2>&1; then
  fail "strace is installed"
  finish
fi
blob() { head -c "$2" /dev/zero | tr '\0' "$1"; }
sums() { local f; for f in a b c; do printf '%s' "$(blob "$f$1" "$2")" | sha1sum | cut -c1-7; done; }
pkgsrc u
for f in a b c; do pkgfile u /opt/u/$f "$(blob "${f}n" 61440)"; done
build u
NEW=$(sums n 61440) USER=$(sums u 20480)
mkdir -p "$ZR/opt/u"
mount -t tmpfs -o size=1m,mode=0755 u "$ZR/opt/u"
tar -C "$ZR" -cf "$ZR_BASE/inv.tar" var/lib/zpm

state() { local f; for f in a b c; do sha1sum < "$ZR/opt/u/$f" 2>/dev/null | cut -c1-7 || echo -; done; }
# reset FILL: the user's files (15 pages) back; with FILL a filler leaves 30 pages free, so the
# second new file (15 pages written beside a 5-page old one) fits and the third does not.
reset() {
  rm -rf "$ZR/var/lib/zpm" "$ZR/opt/u/"* "$ZR/opt/u/".[!.]*
  tar -C "$ZR" -xf "$ZR_BASE/inv.tar"
  for f in a b c; do printf '%s' "$(blob "${f}u" 20480)" > "$ZR/opt/u/$f"; done
  [ -z "$1" ] || head -c $((211 * 4096)) /dev/zero > "$ZR/opt/u/filler"
  yad_reset
}
judge() {
  if [ "$(yad_texts)" = "/tmp/p/u.zpk successfully installed
|" ]; then
    check_eq "$1: reported installed: every file is whole and new" "$NEW yes" "$(state) $(inv_has u && echo yes)"
  else
    check_eq "$1: not installed: the user's files are as they were" "$USER no" "$(state) $(inv_has u || echo no)"
  fi
  check_eq "$1: no temporary file is left" "" "$(ls -A "$ZR/opt/u" | grep zpm)"
}
# The ordinal numbers of the writes to the package's files, their backups and the index (not
# those of the unpacking into the stage).
points() {
  awk '/^write\(/ { n++; fd = $0; sub(/>.*/, "", fd)
    if (fd ~ /\/opt\/u\/|\/old\/index\.txt$/ && fd !~ /\/new\/data\//) print n }' "$ZR$1"
}

total=0
for fill in "" full; do
  what=${fill:-room}
  reset "$fill"
  zroot_run strace -y -s 0 -o /tmp/trace -e trace=write /usr/bin/zpm -f -I /tmp/p/u.zpk \
    >/dev/null 2>&1 </dev/null
  judge "$what, no fault injected"
  [ "$what" = room ] && check "room: installed without a fault" inv_has u
  [ "$what" = full ] && check "full: the file system filled up" log_has "No space left on device"
  for n in $(points /tmp/trace); do
    reset "$fill"
    zroot_run strace -o /dev/null -e trace=write -e inject=write:error=ENOSPC:when="$n" \
      /usr/bin/zpm -f -I /tmp/p/u.zpk >/dev/null 2>&1 </dev/null
    judge "$what, write #$n fails"
    total=$((total + 1))
  done
done
check "writes to fail found for both cases" test "$total" -ge 8
echo "writes failed in turn: $total"
finish
