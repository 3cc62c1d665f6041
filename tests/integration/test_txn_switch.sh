#!/bin/bash
# Every rename of an update's switch, and every rename and write of the registration of an
# install or update (and of its journal), made to fail (strace: error=EIO at that call): the change is reported as failed and rolled back, the
# old version stays registered exactly as it was (nothing registered for an install), and
# nothing is left behind; never "successfully updated".
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
source "$(dirname "$0")/txnulib.sh"
if ! zroot_run strace -V >/dev/null 2>&1; then
  fail "strace is installed"
  finish
fi
install_v1 sw
src_v2 sw
pkgbuild sw 2.0 '' /tmp/pkgs/sw-2.0.zpk
tar -C "$ZR" -cf "$ZR_BASE/v1.tar" var/lib/zpm opt/sw
restore() { rm -rf "$ZR/var/lib/zpm" "$ZR/opt/sw"; tar -C "$ZR" -xf "$ZR_BASE/v1.tar"; }

# renames ARGS...: "<call> <ordinal>" of each rename and write of zpm ARGS in the inventory's
# entries, file indexes and journal, counted among the calls of its kind.
renames() {
  zroot_run strace -y -s 0 -o /tmp/trace -e trace=rename,renameat,renameat2,write \
    /usr/bin/zpm -f "$@" >/dev/null 2>&1 </dev/null
  awk '{ name = $0; sub(/\(.*/, "", name); n[name]++ }
       /var\/lib\/zpm\/(installed|fileindex|journal|\.journal)/ { print name, n[name] }' "$ZR/tmp/trace"
}

# failed_at CALL N ARGS...: zpm ARGS with the N-th CALL failing.
failed_at() {
  local sc=$1 n=$2; shift 2
  yad_reset
  zroot_run strace -o /dev/null -e trace="$sc" -e inject="$sc":error=EIO:when="$n" \
    /usr/bin/zpm -f "$@" >/dev/null 2>&1 </dev/null
  RC=$?
}

count=0
while read -r sc n; do
  restore
  failed_at "$sc" "$n" -U /tmp/pkgs/sw-2.0.zpk
  what="update, $sc #$n fails"
  check_eq "$what: the failure is shown" "0 Failure updating /tmp/pkgs/sw-2.0.zpk, rc: -1
|" "$RC $(yad_texts)"
  old_kept sw "$what"
  check "$what: no journal or stage directory is left" \
    test ! -e "$ZR$INV/journal" -a ! -e "$ZR$INV/stagearea/sw_x86_64_2.0"
  count=$((count + 1))
done < <(restore; renames -U /tmp/pkgs/sw-2.0.zpk)
check "the update has its switch and registration renames and writes" test "$count" -ge 10

rm -rf "$ZR/var/lib/zpm/installed/sw" "$ZR/var/lib/zpm/fileindex/sw" "$ZR/opt/sw"
tar -C "$ZR" -cf "$ZR_BASE/v1.tar" var/lib/zpm
count=0
while read -r sc n; do
  restore
  failed_at "$sc" "$n" -I /tmp/pkgs/sw-1.0.zpk
  what="install, $sc #$n fails"
  check_eq "$what: the failure is shown" "0 Failure installing /tmp/pkgs/sw-1.0.zpk, rc: -1
|" "$RC $(yad_texts)"
  check_eq "$what: nothing is registered or left" "" \
    "$(cd "$ZR" && find var/lib/zpm/installed var/lib/zpm/fileindex opt/sw var/lib/zpm/journal \
        -mindepth 1 2>/dev/null)"
  count=$((count + 1))
done < <(restore; renames -I /tmp/pkgs/sw-1.0.zpk)
check "the install has its registration renames and writes" test "$count" -ge 4
finish
