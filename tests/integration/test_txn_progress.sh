#!/bin/bash
# The progress window of long transactions, against the recording fake yad: a short install
# shows none; one that takes longer than a second shows which package and phase it is in and
# closes at the end; a fetch from the catalogue counts its bytes; a question asked meanwhile
# closes it first; and zpm killed in the middle leaves no window behind.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
# slowpkg NAME SECONDS: two data files and a pre-install script that takes that long.
slowpkg() {
  pkgsrc "$1"
  pkgfile "$1" "/opt/$1/a" a
  pkgfile "$1" "/opt/$1/b" b
  [ "$2" = 0 ] || pkgscript "$1" 00-add.sh "sleep $2"
  build "$1"
}
slowpkg quick 0
slowpkg slow 1.5
slowpkg asks 1.5
slowpkg twoa 1.2
slowpkg twob 1.2
slowpkg killed 3
progress() { cat "$FY/progress" 2>/dev/null; }

yad_reset
zpm_do -I /tmp/p/quick.zpk
check_eq "a short install shows only its result" "/tmp/p/quick.zpk successfully installed
|" "$(yad_texts)"
check_eq "a short install shows no progress window" "" "$(progress)"

yad_reset
zpm_do -I /tmp/p/slow.zpk
check_eq "a long install shows its result" "/tmp/p/slow.zpk successfully installed
|" "$(yad_texts)"
check_eq "its progress window: the phase it was in after a second, the files, the end" \
  "open --progress --title=zpm: Zorvek Package Manager --center --width=500 --borders=12 --text=Installing /tmp/p/slow.zpk --no-markup --no-buttons --auto-close
0
#Checking the files of slow
0
#Placing the files of slow: 0 of 2
50
#Placing the files of slow: 1 of 2
100
closed after call 0" "$(progress)"

# Two long installs in one call: each gets its own window, closed before its result.
yad_reset
zpm_do -I /tmp/p/twoa.zpk /tmp/p/twob.zpk
check_eq "two long installs: a window each, each closed before its result" \
  "open --progress --title=zpm: Zorvek Package Manager --center --width=500 --borders=12 --text=Installing /tmp/p/twoa.zpk --no-markup --no-buttons --auto-close
closed after call 0
open --progress --title=zpm: Zorvek Package Manager --center --width=500 --borders=12 --text=Installing /tmp/p/twob.zpk --no-markup --no-buttons --auto-close
closed after call 1" "$(progress | grep -v '^[#0-9]')"

# The helper behind the windows killed at the first result: the second install gets a window
# all the same (the dialog program kills zpm's children but itself, which are zpm's helper).
mv "$ZR/usr/bin/yad" "$ZR/usr/bin/yad.fake"
cat > "$ZR/usr/bin/yad" <<'EOF'
#!/bin/sh
case "$*" in *"twoa.zpk successfully installed"*)
  for c in $(cat /proc/$PPID/task/$PPID/children); do [ "$c" = $$ ] || kill -KILL "$c"; done ;;
esac
exec /usr/bin/yad.fake "$@"
EOF
chmod 0755 "$ZR/usr/bin/yad"
zpm_do -D twoa twob >/dev/null
yad_reset
zpm_do -I /tmp/p/twoa.zpk /tmp/p/twob.zpk
mv "$ZR/usr/bin/yad.fake" "$ZR/usr/bin/yad"
check_contains "the helper killed: the second install still shows its window" \
  "--text=Installing /tmp/p/twob.zpk" "$(progress)"

# A file of the package is already there: the question about it comes after the slow script.
mkdir -p "$ZR/opt/asks" && echo mine > "$ZR/opt/asks/a"
zpm_ask "0 replace existing file" -d -I /tmp/p/asks.zpk
check_eq "the question, then the result" \
  "The file /opt/asks/a already exists on the filesystem. Choose your action|/tmp/p/asks.zpk successfully installed
|" "$(yad_texts)"
check_eq "the progress window was closed before the question" "closed after call 0" \
  "$(progress | tail -n 1)"
check "the package is installed" inv_has asks

# A package fetched from the catalogue, every read of it held back a tenth of a second: the
# window counts the bytes that have arrived.
pkgsrc fetched
head -c 1000000 /dev/urandom > "$ZR/tmp/pkgsrc/fetched/data/blob"
pkgbuild fetched 1.0 '' "$REPO/fetched-1.0.zpk"
yad_reset
zroot_run strace -f -o /dev/null -P "$REPO/fetched-1.0.zpk" -e trace=read \
  -e inject=read:delay_exit=100000 /usr/bin/zpm -f -r -I fetched >/dev/null 2>&1 </dev/null
counts=$(sed -n 's/^#Fetching fetched: \(.*\) of .*/\1/p' "$FY/progress" 2>/dev/null | sort -u)
check "the fetch is counted as it arrives (${counts//$'\n'/, })" [ "$(wc -w <<<"$counts")" -ge 4 ]
check "and the package is installed" inv_has fetched

yad_reset
chroot "$ZR" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LC_ALL=C \
  /usr/bin/zpm -f -I /tmp/p/killed.zpk >/dev/null 2>&1 </dev/null &
zpid=$!
opened() { grep -q '^open' "$FY/progress" 2>/dev/null; }
closed() { grep -q '^closed' "$FY/progress" 2>/dev/null; }
wait_for() { local i; for i in $(seq 50); do "$@" && return 0; sleep 0.1; done; return 1; }
check "the window of the third install opens" wait_for opened
kill -KILL "$zpid"
wait "$zpid" 2>/dev/null
check "zpm killed in the middle: its window closes" wait_for closed

finish
