#!/bin/bash
# Symbolic links in packages.  zpk-build carries the links of data/ in the link list, so a
# library package with libt.so -> libt.so.1 -> libt.so.1.0 installs, updates and deletes with
# its links in place.  A link member of a payload made otherwise is installed as the regular
# file it leads to inside the package, whatever the order in which files are placed; one that
# leads outside the package, to a directory, a device (/dev/zero: the hash walk read it for
# ever, holding the lock), nothing or a loop is refused with a clear message before anything
# is written, for install and update.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
source "$(dirname "$0")/txnulib.sh"
L=/opt/t/lib

# zpm_timed ARGS...: zpm -f, killed should it take more than 20 s.
zpm_timed() {
  zroot_run timeout -s KILL 20 /usr/bin/zpm -f "$@" >/dev/null 2>&1 </dev/null
  RC=$?
}

# ------------------------------------------------ a library package built by zpk-build
libt() {
  pkgsrc libt
  pkgfile libt "$L/libt.so.$1.0" "libt $1"
  ln -s "libt.so.$1.0" "$ZR/tmp/pkgsrc/libt/data$L/libt.so.$1"
  ln -s "libt.so.$1" "$ZR/tmp/pkgsrc/libt/data$L/libt.so"
  pkgbuild libt "$1.0" '' "/tmp/pkgs/libt-$1.zpk"
}
libt 1
libt 2
links_are() {
  check_eq "$1" "$2" "$(readlink "$ZR$L/libt.so") $(readlink "$ZR$L/libt.so.$3") $(cat "$ZR$L/libt.so")"
}
zpm_do -I /tmp/pkgs/libt-1.zpk
links_are "install: the links are made and lead to the library" "libt.so.1 libt.so.1.0 libt 1" 1
check_eq "install: the file index lists the library only" "$L/libt.so.1.0" "$(fileindex libt)"
zpm_do -U /tmp/pkgs/libt-2.zpk
links_are "update: the links lead to the new library" "libt.so.2 libt.so.2.0 libt 2" 2
check_eq "update: version 2.0 is registered" 2.0 "$(desc_version libt)"
zpm_do -D libt
check "delete: the links and the library are gone" \
  test ! -e "$ZR$L/libt.so.2.0" -a ! -L "$ZR$L/libt.so" -a ! -L "$ZR$L/libt.so.2"

# ------------------------------------------------ link members of a payload made otherwise
# A link member inside the package is installed as the file it leads to, also when that file
# is placed first (the stage's copy is moved) and through a second link.
mkdir -p "$ZR/tmp/src-g/data/opt/g/sub" "$ZR/tmp/src-g/info"
echo real > "$ZR/tmp/src-g/data/opt/g/real"
ln -s real "$ZR/tmp/src-g/data/opt/g/alias"
ln -s ../alias "$ZR/tmp/src-g/data/opt/g/sub/up"
sum=$(sha1sum < "$ZR/tmp/src-g/data/opt/g/real" | cut -c1-40)
printf '%s:opt/g/%s\n' "$sum" alias "$sum" real "$sum" sub/up > "$ZR/tmp/g-hashes"
forge_signed build "$ZR/tmp/src-g" -o "$ZR/tmp/pkgs/g.zpk" --name g --version 1.0 \
  --raw "hash/data.txt=$ZR/tmp/g-hashes"
zpm_do -I /tmp/pkgs/g.zpk
check "link members: the package installs" inv_has g
check_eq "link members: placed as regular files with the content they lead to" \
  "real real real" "$(for f in real alias sub/up; do test -L "$ZR/opt/g/$f" || cat "$ZR/opt/g/$f"; done | xargs)"

# refused MODE WHAT NAME TARGET: package h with the link member data/opt/h/NAME -> TARGET.
pkgsrc h
pkgfile h /opt/h/f h-1
pkgbuild h 1.0 '' /tmp/pkgs/h-1.zpk
pkgfile h /opt/h/f h-2
pkgbuild h 2.0 '' /tmp/pkgs/h-2.zpk
refused() {
  local mode=$1 what=$2 ver=1
  [ "$mode" = -U ] && ver=2
  forge_signed repack "$ZR/tmp/pkgs/h-$ver.zpk" -o "$ZR/tmp/pkgs/h-$3.zpk" \
    --raw-link "data/opt/h/$3=$4"
  : > "$ZR/var/log/zpm.log"
  yad_reset
  zpm_timed "$mode" "/tmp/pkgs/h-$3.zpk"
  check_eq "$what: zpm ends by itself" 0 "$RC"
  check "$what: the link is refused and says why" \
    grep -qF "Refusing the symbolic link data/opt/h/$3 -> $4: a link in a package must lead to a regular file of the package, and this one $5" "$ZR/var/log/zpm.log"
  check_contains "$what: the run fails" "Failure " "$(yad_texts)"
  if [ "$mode" = -I ]; then
    check "$what: nothing is installed" test ! -e "$ZR$INV/installed/h" -a ! -e "$ZR/opt/h"
  else
    check_eq "$what: the old version stays" "1.0 h-1" "$(desc_version h) $(cat "$ZR/opt/h/f")"
  fi
}
refused -I "a link to /dev/zero" zero /dev/zero "points outside the package (an absolute target)"
refused -I "a link climbing out" up ../../../etc/passwd "points outside the package"
refused -I "an absolute link to the package's own file" abs /opt/h/f "points outside the package"
refused -I "a link to a directory" dir . "points to a directory"
refused -I "a dangling link" none nothing "leads to nothing in the package"
refused -I "a link loop" loop loop "goes through too many symbolic links"
zpm_do -I /tmp/pkgs/h-1.zpk
refused -U "an update with a link to /dev/zero" uzero /dev/zero "points outside the package"
finish
