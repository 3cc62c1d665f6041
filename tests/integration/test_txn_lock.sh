#!/bin/bash
# Two package managers never hold the inventory lock at once.  The race: a run opens the lock
# file, is held up (strace delay_enter) before it locks, and meanwhile the holder finishes and
# removes the file and a third run takes a new one; the delayed run must not lock the removed
# file and go on.  Then 8 concurrent managers for ZPM_STRESS_ROUNDS rounds (default 10; the
# full run is 100) of random installs, updates, deletes and queries, some held up before
# locking: every loser exits 1 with the lock message, no two changes overlap, and the
# inventory is consistent at the end.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
if ! zroot_run strace -V >/dev/null 2>&1; then
  fail "strace is installed"
  finish
fi
# A change of the system marks itself busy while its scripts run; a second one at the same
# time notes the overlap.
BUSY='if mkdir /tmp/busy 2>/dev/null; then sleep 0.2; rmdir /tmp/busy; else echo overlap >> /tmp/overlaps; fi'
for n in 1 2 3 4; do
  for v in 1 2; do
    pkgsrc "p$n"
    pkgfile "p$n" "/opt/p$n/f" "p$n-$v"
    pkgfile "p$n" "/opt/p$n/v$v" "$v"
    pkgscript "p$n" 00-add.sh "$BUSY"
    pkgscript "p$n" 00-del.sh "$BUSY"
    pkgbuild "p$n" "$v.0" '' "/tmp/p/p$n-$v.zpk"
  done
done
pkgsrc holder
pkgfile holder /opt/holder/f h
pkgscript holder 00-add.sh 'touch /tmp/holding; sleep 3'
build holder
pkgsrc third
pkgfile third /opt/third/f t
pkgscript third 00-add.sh 'sleep 6'
build third

# The ordinal of the locking call among zpm's fcntl calls, for each mode (the catalogue's
# connection comes first in some).
declare -A SETLK
for mode in I U D; do
  zroot_run strace -o /tmp/fcntl -e trace=fcntl /usr/bin/zpm -f -$mode p1 >/dev/null 2>&1 </dev/null
  SETLK[$mode]=$(awk '/^fcntl/ { n++ } /F_SETLK/ { print n; exit }' "$ZR/tmp/fcntl")
done
check "the lock is taken with fcntl" test -n "${SETLK[I]}" -a -n "${SETLK[U]}" -a -n "${SETLK[D]}"

# ------------------------------------------------------------------ the race
zpm_do -I /tmp/p/holder.zpk & a=$!
for _ in $(seq 100); do [ -e "$ZR/tmp/holding" ] && break; sleep 0.1; done
zroot_run strace -o /dev/null -e trace=fcntl -e inject=fcntl:delay_enter=5000000:when="${SETLK[I]}" \
  /usr/bin/zpm -f -I /tmp/p/p1-1.zpk >/dev/null 2>"$ZR_BASE/late.err" </dev/null & b=$!
sleep 1
wait "$a"
zpm_do -I /tmp/p/third.zpk & c=$!
wait "$b"; late=$?
wait "$c"
check_eq "the run that locked the removed file gives up" "1 yes" \
  "$late $(grep -q 'failed to lock inventory' "$ZR_BASE/late.err" && echo yes)"
check "and changed nothing" test ! -e "$ZR$INV/installed/p1"
check "the other two ran" inv_has holder
check "the third holds its own lock" inv_has third

# ------------------------------------------------------------------ the stress
RANDOM=${ZPM_STRESS_SEED:-12}
ROUNDS=${ZPM_STRESS_ROUNDS:-10}
OPS=("-I /tmp/p/p%d-1.zpk" "-I /tmp/p/p%d-2.zpk" "-U /tmp/p/p%d-2.zpk" "-D p%d" "-L" "-F /opt/p%d/f")
bad=0 losers=0 changed=0
for ((r = 1; r <= ROUNDS; r++)); do
  pids=()
  for m in 0 1 2 3 4 5 6 7; do
    op=$(printf -- "${OPS[RANDOM % 6]}" $((RANDOM % 4 + 1)))
    delay=()
    [ $((RANDOM % 2)) = 0 ] && [[ "$op" == -[IUD]* ]] && delay=(strace -o /dev/null -e trace=fcntl
      -e "inject=fcntl:delay_enter=$((RANDOM % 300000)):when=${SETLK[${op:1:1}]}")
    echo "$op" > "$ZR_BASE/m$m.op"
    # shellcheck disable=SC2086
    zroot_run "${delay[@]}" /usr/bin/zpm -f $op >/dev/null 2>"$ZR_BASE/m$m.err" </dev/null &
    pids+=($!)
  done
  for m in 0 1 2 3 4 5 6 7; do
    wait "${pids[m]}"; rc=$?
    op=$(cat "$ZR_BASE/m$m.op")
    if [[ "$op" != -[IUD]* ]]; then
      # A query takes no lock; -F of a file no package has ends with 1.
      [ "$rc" = 0 ] || [ "$rc" = 1 ] && ! grep -q 'lock' "$ZR_BASE/m$m.err" ||
        { bad=$((bad + 1)); echo "round $r: zpm $op exited $rc"; }
    elif [ "$rc" = 1 ] && grep -q 'failed to lock inventory' "$ZR_BASE/m$m.err"; then
      losers=$((losers + 1))
    elif [ "$rc" = 0 ]; then
      changed=$((changed + 1))
    else
      bad=$((bad + 1)); echo "round $r: zpm $op exited $rc: $(head -c 300 "$ZR_BASE/m$m.err")"
    fi
  done
done
echo "stress: $ROUNDS rounds, $changed changes ran, $losers lost the lock"
check_eq "every run either ran or lost the lock with its message and status 1" 0 "$bad"
check "some lost the lock" test "$losers" -gt 0
check_eq "no two changes overlapped" "" "$(cat "$ZR/tmp/overlaps" 2>/dev/null)"
inconsistent=""
for n in 1 2 3 4; do
  v=absent
  inv_has "p$n" && v=$(sed -n 's/^ezpkVersion: \([12]\).0$/\1/p' "$ZR$INV/installed/p$n/desc.txt")
  if [ "$v" = absent ]; then
    have=$(find "$ZR/opt/p$n" -type f 2>/dev/null)
    [ -z "$have$(ls "$ZR$INV/fileindex/p$n" 2>/dev/null)" ] || inconsistent+=" p$n"
  else
    [ "$(content "/opt/p$n/f") $(ls "$ZR/opt/p$n" | tr '\n' ' ')" = "p$n-$v f v$v " ] &&
      [ "$(sort "$ZR$INV/fileindex/p$n")" = "/opt/p$n/f
/opt/p$n/v$v" ] || inconsistent+=" p$n"
  fi
done
check_eq "every package is wholly installed in one version or wholly absent" "" "$inconsistent"
check_eq "nothing is left over" "" "$(cd "$ZR" && find var/lib/zpm opt -name '*.zpm*' -o -name '.*.new' \
  -o -name '.*.del' -o -path 'var/lib/zpm/stagearea/*' -type d -o -name journal -o -name lock)"
finish
