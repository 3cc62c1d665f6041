#!/bin/bash
# What a cut-off run leaves is cleared by the next one: the temporary copy of a target on
# another file system that a run killed just before renaming it left (already with its final
# set-user-id mode), and a stage tree thousands of directories deep, which a later install of
# the same package removes before it unpacks.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
if ! zroot_run strace -V >/dev/null 2>&1; then
  fail "strace is installed"
  finish
fi
temporaries() { ls -A "$ZR/opt/t" | grep zpm; }

# ------------------------------------------------ killed while the tool goes into place
pkgsrc t; pkgfile t /opt/t/tool "$(head -c 5000 /dev/zero | tr '\0' t)" 4755; build t
mkdir -p "$ZR/opt/t"; mount -t tmpfs -o size=4m,mode=0755 t "$ZR/opt/t"
tar -C "$ZR" -cf "$ZR_BASE/inv.tar" var/lib/zpm
zroot_run strace -y -o /tmp/trace -e trace=rename,renameat,renameat2 /usr/bin/zpm -f -I \
  /tmp/p/t.zpk >/dev/null 2>&1 </dev/null
# The system call that renamed the temporary copy to /opt/t/tool, and its ordinal number.
read -r sc n < <(awk '{ name = $0; sub(/\(.*/, "", name); c[name]++ }
  /\.tool\.zpm/ && /"(\/opt\/t\/)?tool"/ { print name, c[name]; exit }' "$ZR/tmp/trace")
rm -rf "$ZR/var/lib/zpm" "$ZR/opt/t/"* "$ZR/opt/t/".[!.]*; tar -C "$ZR" -xf "$ZR_BASE/inv.tar"
zroot_run strace -o /dev/null -e trace="$sc" -e inject="$sc":signal=KILL:when="$n" \
  /usr/bin/zpm -f -I /tmp/p/t.zpk >/dev/null 2>&1 </dev/null
check_eq "t: killed at $sc #$n" 137 "$?"
check "t: the killed run left its temporary copy" test -n "$(temporaries)"
zpm_do -I /tmp/p/t.zpk
check_eq "t: installed again, whole" "yes 4755 5000" \
  "$(inv_has t && echo yes) $(mode /opt/t/tool) $(stat -c %s "$ZR/opt/t/tool")"
check_eq "t: no temporary copy is left" "" "$(temporaries)"

# ------------------------------------------------ a stage tree 3,000 directories deep
pkgsrc deep; pkgfile deep /opt/deep/f x; build deep
python3 - "$ZR$STAGE/deep_x86_64_1.0/new/data/opt" <<'PY'
import os, sys
os.makedirs(sys.argv[1])
os.chdir(sys.argv[1])
for _ in range(3000):
    os.mkdir("d")
    os.chdir("d")
open("f", "w").write("x")
PY
zpm_do -I /tmp/p/deep.zpk
check_eq "deep: installed" "yes x" "$(inv_has deep && echo yes) $(content /opt/deep/f)"
check "deep: the stage tree is gone" test ! -e "$ZR$STAGE/deep_x86_64_1.0"
finish
