#!/bin/bash
# zpm-check on a real inventory: a clean system checks clean; each kind of damage is found
# (one row per kind) and, where the package can mend it, --repair restores content, mode and
# links from the staged package file; a staged file that fails its checks is refused.  Stage
# cleaning frees what superseded versions left and keeps what is installed, never while the
# lock is held.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
install -m 0755 "$ZPM_BUILD/src/zpm-check/zpm-check" "$ZR/usr/bin/zpm-check"
pkgsrc a; pkgfile a /usr/share/a/f1 one; pkgfile a /usr/share/a/f2 two; pkgfile a /usr/bin/a run 0755
pkginfo a perm.txt '/usr/bin/a|0750
'
pkginfo a link.txt '/usr/lib||
|../share/a/f1|alink
'
build a
pkgsrc b; pkgfile b /usr/share/b/f b; build b
zpm_do -I /tmp/p/a.zpk /tmp/p/b.zpk
zcheck() { OUT=$(zroot_run zpm-check "$@" 2>&1); RC=$?; }

zcheck
check_eq "clean system: status 0" 0 "$RC"
check_contains "clean system: counted" "2 packages, 4 files checked: 0 differences" "$OUT"

F=/usr/share/a/f1
IDX=$INV/fileindex
# kind | damage (run in the root) | path reported | mend: "repair" or a command
cases=(
  "content|echo changed > $F|$F|repair"
  "missing|rm /usr/share/a/f2|/usr/share/a/f2|repair"
  "type|rm $F && ln -s f2 $F|$F|repair"
  "mode|chmod 0700 /usr/bin/a|/usr/bin/a|repair"
  "link|ln -sfn f2 /usr/lib/alink|/usr/lib/alink|repair"
  "shared|echo $F >> $IDX/b|$F|sed -i '\\#$F#d' $IDX/b"
  "unlisted|echo /usr/share/a/extra >> $IDX/a|/usr/share/a/extra|sed -i '\\#extra#d' $IDX/a"
  "orphan-index|echo /x > $IDX/ghost|$IDX/ghost|rm $IDX/ghost"
  "no-index|mv $IDX/a /tmp/idx-a|$IDX/a|mv /tmp/idx-a $IDX/a"
  "leftover|mkdir $INV/installed/.a.new|$INV/installed/.a.new|rmdir $INV/installed/.a.new"
  "leftover|echo half > /usr/share/a/.f1.zpmAb12Cd|/usr/share/a/.f1.zpmAb12Cd|rm /usr/share/a/.f1.zpmAb12Cd"
)
for c in "${cases[@]}"; do
  IFS='|' read -r kind damage path mend <<<"$c"
  zroot_run sh -c "$damage"
  zcheck -m
  check_eq "$kind: status 1" 1 "$RC"
  check_contains "$kind: found" "$kind	" "$(grep -F "	$path	" <<<"$OUT")"
  if [ "$mend" = repair ]; then
    zcheck --repair a
    check_eq "$kind: repaired" 0 "$RC"
  else
    zroot_run sh -c "$mend"
  fi
  zcheck
  check_eq "$kind: clean again" "0 2 packages, 4 files checked: 0 differences" "$RC $OUT"
done
check_eq "repair: content and mode back" "one 750" "$(content $F) $(mode /usr/bin/a)"
check_eq "repair: link back" "../share/a/f1" "$(readlink "$ZR/usr/lib/alink")"
check "repair: backup directory gone" test ! -e "$ZR$STAGE/a_x86_64_1.0"

printf 'x' | dd of="$ZR$STAGE/a_x86_64_1.0.zpk" bs=1 seek=200 conv=notrunc 2>/dev/null
zroot_run sh -c "echo changed > $F"
zcheck --repair a
check_eq "repair from a damaged staged file: refused" 2 "$RC"
check_eq "repair refused: nothing written" changed "$(content $F)"

# Stage cleaning: a superseded version goes, the installed ones stay.
pkgsrc a; pkgfile a /usr/share/a/f1 one2; pkgbuild a 2.0 "" $REPO/a-2.0.zpk
zpm_do -r -U a
size=$(stat -c %s "$ZR$STAGE/a_x86_64_1.0.zpk")
zroot_run python3 -c 'import fcntl, time, sys
import os; f = open("/var/lib/zpm/lock", "a"); fcntl.lockf(f, fcntl.LOCK_EX)
print(os.getpid(), flush=True); time.sleep(30)' > "$ZR/tmp/held" &
for _ in $(seq 50); do [ -s "$ZR/tmp/held" ] && break; sleep 0.1; done
zcheck --clean-stage
check_eq "clean-stage while the lock is held: refused" 2 "$RC"
check_contains "clean-stage while the lock is held: said" \
  "zpm-check: another zpm holds the inventory lock" "$OUT"
kill "$(cat "$ZR/tmp/held")"; wait
zcheck --clean-stage
check_eq "clean-stage: the superseded file, reported" "0 removed a_x86_64_1.0.zpk ($size bytes)
freed $size bytes in 1 files" "$RC $OUT"
check_eq "clean-stage: what is installed stays" "a_x86_64_2.0.zpk b_x86_64_1.0.zpk" \
  "$(cd "$ZR$STAGE" && echo *.zpk)"
# A repair first finishes what a killed run left (its journal and backups).
pkgsrc b; pkgfile b /usr/share/b/f b2; pkgbuild b 2.0 "" /tmp/p/b-2.0.zpk
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" zroot_run strace -o /dev/null \
  -e trace=renameat -e inject=renameat:signal=KILL:when=3 /usr/bin/zpm -f -U /tmp/p/b-2.0.zpk \
  >/dev/null 2>&1 </dev/null
check "a killed update leaves its journal" test -e "$ZR$INV/journal"
zcheck --repair a
check_eq "repair after it: the update is finished or undone first" "0 no journal" \
  "$RC $(test -e "$ZR$INV/journal" && echo journal || echo no journal)"
check "and b is one whole version" grep -qx 'b\|b2' "$ZR/usr/share/b/f"
finish
