#!/bin/bash
# A whole life of a package through the real zpm in a throwaway root: installed from a package
# file with its dependencies taken from an "incdir" directory, seen by the queries, updated from
# the catalogue and removed together with its dependencies. Also the question before an install
# and the inventory lock held by another process.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
mkdir -p "$ZR/tmp/pkgs" "$ZR/tmp/deps"

# flowpkg NAME VERSION: data files and all three add-side scripts, recorded in /tmp/rec.
flowpkg() {
  pkgsrc "$1"
  pkgfile "$1" "/usr/share/$1/data.txt" "$1 $2"
  recscript "$1" 00-add.sh "00-add:$1"
  recscript "$1" 99-add.sh "99-add:$1"
  recscript "$1" 99-cfg.sh "cfg:$1"
}
flowpkg liba 1.0
pkgbuild liba 1.0 '' /tmp/deps/liba.zpk
flowpkg libb 1.0
pkgbuild libb 1.0 '' /tmp/deps/libb.zpk
flowpkg app 1.0
pkgfile app /usr/bin/app '#!/bin/sh' 0750
pkgbuild app 1.0 liba,libb /tmp/pkgs/app.zpk

# ------------------------------------------------------------------ install
yad_reset
zpm_in /tmp/pkgs -f -o incdir=/tmp/deps -I ./app.zpk
check_eq "install exits 0" 0 "$RC"
check_eq "only the result is shown" "./app.zpk successfully installed
|" "$(yad_texts)"
check_eq "dependencies first, in the order the list is walked" \
  "installed libb_x86_64_1.0 as dependency of app
installed liba_x86_64_1.0 as dependency of app
installed app_x86_64_1.0 as requested by user" "$(install_events)"
check "install log lines carry a time stamp" \
  grep -qE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}: installed app' "$ZR$INV/install.log"
check_eq "scripts of each package around its files, configuration at the end" \
  "00-add:libb 99-add:libb 00-add:liba 99-add:liba 00-add:app 99-add:app cfg:libb cfg:liba cfg:app" \
  "$(rec_lines | tr '\n' ' ' | sed 's/ $//')"
for p in liba libb app; do
  check "$p is registered" inv_has "$p"
  check_eq "$p data file" "$p 1.0" "$(content "/usr/share/$p/data.txt")"
  check_eq "$p configuration sees its inventory directory" "$INV/installed/$p" \
    "$(rec_env "cfg:$p" ZPM_ZPKDIR)"
  check_eq "$p file index" "/usr/share/$p/data.txt" \
    "$(grep -v '^/usr/bin/app$' "$ZR$INV/fileindex/$p")"
  check "$p keeps its scripts in the inventory" test -f "$ZR$INV/installed/$p/init/99-cfg.sh"
  check "$p keeps its data and init hash lists" \
    test -f "$ZR$INV/installed/$p/hash/data.txt" -a -f "$ZR$INV/installed/$p/hash/init.txt"
  check "$p does not keep the info hash list" test ! -e "$ZR$INV/installed/$p/hash/info.txt"
  check "$p package file stays staged" test -f "$ZR$INV/stagearea/${p}_x86_64_1.0.zpk"
  check "$p working directory is gone" test ! -e "$ZR$INV/stagearea/${p}_x86_64_1.0"
done
check_eq "no temporary files are left beside the targets" "$ZR/usr/bin/app $ZR/usr/share/app/data.txt" \
  "$(shopt -s nullglob; echo "$ZR"/usr/bin/app "$ZR"/usr/bin/.app* "$ZR"/usr/share/app/{,.}[!.]*)"
check_eq "the program keeps its mode" 750 "$(mode /usr/bin/app)"
check_eq "the head's file index lists both files" "/usr/bin/app
/usr/share/app/data.txt" "$(sort "$ZR$INV/fileindex/app")"
check_eq "inventory copies of info files get 0755" 755 "$(mode "$INV/installed/app/desc.txt")"
check_eq "install record of the head" "ezpkInstallTime ezpkInstallType:X" \
  "$(sed -n 's/^\(ezpkInstallTime\): .*/\1/p; s/^\(ezpkInstallType\): /\1:/p; s/^\(ezpkInstallHead\): /\1:/p' \
     "$ZR$INV/installed/app/inst.txt" | tr '\n' ' ' | sed 's/ $//')"
check_eq "install record of a dependency" "ezpkInstallTime ezpkInstallType:D ezpkInstallHead:app" \
  "$(sed -n 's/^\(ezpkInstallTime\): .*/\1/p; s/^\(ezpkInstallType\): /\1:/p; s/^\(ezpkInstallHead\): /\1:/p' \
     "$ZR$INV/installed/liba/inst.txt" | tr '\n' ' ' | sed 's/ $//')"
now=$(date +%s)
t=$(sed -n 's/^ezpkInstallTime: //p' "$ZR$INV/installed/app/inst.txt")
check "the install time is now" test "$t" -le "$now" -a "$t" -gt $((now - 600))
check "the lock file is removed at the end" test ! -e "$ZR$INV/lock"

# ------------------------------------------------------------------ queries
yad_reset; zpm_run -L
check_eq "-L exits 0" 0 "$RC"
check_eq "-L shows the three packages" "app liba libb" \
  "$(yad_stdin 1 | grep -xE 'app|liba|libb' | tr '\n' ' ' | sed 's/ $//')"
yad_reset; zpm_run -F /usr/share/liba/data.txt
check_eq "-F names the owner" "liba
|" "$(yad_text 1)"
yad_reset; zpm_run -F /usr/bin/app
check_eq "-F of the head's program" "app
|" "$(yad_text 1)"
zpm_run -C app
check_eq "-C lists the files" "/usr/bin/app
/usr/share/app/data.txt" "$(sort <<<"$OUT")"

# A second install of the same package is not planned and changes nothing.
yad_reset
zpm_in /tmp/pkgs -f -o incdir=/tmp/deps -I ./app.zpk
check_eq "reinstall exits 0" 0 "$RC"
check_eq "reinstall is refused" "./app.zpk cannot be installed
|" "$(yad_texts)"
check_eq "no new install log line" 3 "$(install_events | wc -l)"

# ------------------------------------------------------------------ update
flowpkg app 2.0
pkgfile app /usr/bin/app '#!/bin/sh 2' 0750
pkgbuild app 2.0 liba,libb "$REPO/app-2.0.zpk"
yad_reset
zpm_do -r -U app
check_eq "update exits 0" 0 "$RC"
check_eq "update result" "app successfully updated
|" "$(yad_texts)"
check_eq "new content" "app 2.0" "$(content /usr/share/app/data.txt)"
check "new version registered" grep -qx 'ezpkVersion: 2.0' "$ZR$INV/installed/app/desc.txt"
check_eq "update in the install log" "updated app_x86_64_1.0 to app_x86_64_2.0 as requested by user" \
  "$(install_events | tail -n 1)"

# ------------------------------------------------------------------ delete
yad_reset
zpm_do -D app
check_eq "delete exits 0" 0 "$RC"
check_eq "delete result" "app successfully deleted
|" "$(yad_texts)"
check_eq "the package and the dependencies installed for it are gone" \
  "deleted app_x86_64_2.0 as requested by user
deleted liba_x86_64_1.0 as dependency of app
deleted libb_x86_64_1.0 as dependency of app" "$(install_events | tail -n 3)"
check_eq "nothing is registered" "" "$(ls "$ZR$INV/installed"; ls "$ZR$INV/fileindex")"
for f in /usr/bin/app /usr/share/app/data.txt /usr/share/liba/data.txt /usr/share/libb/data.txt; do
  check "$f removed" test ! -e "$ZR$f"
done
check "directories stay" test -d "$ZR/usr/share/app"

# ------------------------------------------------------------------ question
pkgsrc solo
head -c 5000 /dev/zero | tr '\0' s > "$ZR/tmp/pkgsrc/solo/data/solo.bin"
mkdir -p "$ZR/tmp/pkgsrc/solo/data/usr/share/solo"
mv "$ZR/tmp/pkgsrc/solo/data/solo.bin" "$ZR/tmp/pkgsrc/solo/data/usr/share/solo/"
pkgbuild solo 1.0 '' /tmp/pkgs/solo.zpk
fsize=$(stat -c %s "$ZR/tmp/pkgs/solo.zpk")
dsize=$(head -c 4096 "$ZR/tmp/pkgs/solo.zpk" | tr -d '\0' | sed -n 's/^ezpkDataSize: //p' | tr -d '\r')
check "the package states its data size" test -n "$dsize"
summary=$(printf 'install of /tmp/pkgs/solo.zpk will make the following changes:\n* install of solo, version 1.0: Download size: %7lu kb, Install size: %7lu kb\nDo you want to continue|' \
  $((fsize / 1024)) $((${dsize:-0} / 1024)))
zpm_ask "1" -I /tmp/pkgs/solo.zpk
check_eq "answered no: exits 0" 0 "$RC"
check_eq "answered no: only the question was asked" "$summary" "$(yad_texts)"
check "answered no: nothing installed" test ! -e "$ZR$INV/installed/solo" -a ! -e "$ZR/usr/share/solo/solo.bin"
check "answered no: nothing staged" test ! -e "$ZR$INV/stagearea/solo_x86_64_1.0.zpk"
zpm_ask "0" -I /tmp/pkgs/solo.zpk
check_eq "answered yes: exits 0" 0 "$RC"
check_eq "answered yes: question then result" "$summary/tmp/pkgs/solo.zpk successfully installed
|" "$(yad_texts)"
check "answered yes: installed" inv_has solo
check_eq "answered yes: the file" 5000 "$(stat -c %s "$ZR/usr/share/solo/solo.bin" 2>/dev/null)"
check "the consent is logged" log_has "Ok, installing package /tmp/pkgs/solo.zpk"

# ------------------------------------------------------------------ lock
python3 -c '
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o640)
fcntl.lockf(fd, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
time.sleep(60)' "$ZR$INV/lock" "$ZR/tmp/locked" &
holder=$!
for _ in $(seq 50); do [ -e "$ZR/tmp/locked" ] && break; sleep 0.1; done
yad_reset
: > "$ZR/var/log/zpm.log"
zpm_in /tmp/pkgs -f -o incdir=/tmp/deps -I ./app.zpk
check_eq "install while locked exits 1" 1 "$RC"
check_contains "the lock failure is on standard error" "failed to lock inventory" "$ERR"
check "and in the log" log_has "failed to lock inventory"
check_eq "nothing was shown" 0 "$(yad_calls)"
check "nothing was installed while locked" test ! -e "$ZR$INV/installed/app"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
yad_reset
zpm_in /tmp/pkgs -f -o incdir=/tmp/deps -I ./app.zpk
check_eq "once the lock is free the install runs" "0 yes" "$RC $(inv_has app && echo yes)"
finish
