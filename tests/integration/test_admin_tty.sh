#!/bin/bash
# zpm without a display through zpm-tty: the terminal stand-in for the dialog program shows
# messages, forms and tables as text on standard output, a list in csv form can be cut, a
# question is answered by typing on a terminal, and without a terminal it is refused.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"

txn_setup
unset DISPLAY
rm -f "$ZR/usr/bin/yad" # no dialog program but the stand-in
install -D -m 0755 "$ZPM_BUILD/src/zpm-tty/tty/yad" "$ZR/usr/lib/zpm/tty/yad"
install -m 0755 "$ZPM_BUILD/src/zpm-tty/zpm-tty" "$ZR/usr/bin/zpm-tty"
ZPM_BIN=/usr/bin/zpm-tty

pkgsrc libgreet; pkgfile libgreet /usr/lib/libgreet.so.1 greet
pkgbuild libgreet 1.0 "" $REPO/libgreet.zpk -D "greeting library"
pkgsrc hello; pkgfile hello /usr/bin/hello hi 0755
pkgbuild hello 1.0 libgreet $REPO/hello-1.0.zpk -D "says hello"

zpm_run -V
check_eq "-V: version" "0 zpm 1.0.24" "$RC $ERR"
zpm_run -f -I hello
check_eq "-f -I: result as text" "0 hello successfully installed" "$RC $OUT"
zpm_run -L
check_contains "-L: table with both" "Name      Variant  Version  Description
----      -------  -------  -----------
hello              1.0      says hello
libgreet           1.0      greeting library" "$OUT"
check_eq "-L csv: names cut from its rows" "hello
libgreet" "$(zroot_run zpm-tty -L -o outform=csv </dev/null 2>/dev/null | cut -d: -f1)"
zpm_run -L -o outform=ldif,debug=false libg*
check_contains "-L ldif: an entry" "ezpkName: libgreet
ezpkVersion: 1.0" "$OUT"
zpm_run -Q hello
check_contains "-Q: the form as text" "Name:                 hello" "$OUT"
zpm_run -Q -o outform=csv hello
check_eq "-Q csv" "hello::1.0:x86_64::libgreet:says hello" "$OUT"
zpm_run -S 'hel*'
check_contains "-S: catalogue table" "hello           1.0      says hello" "$OUT"

pkgbuild hello 2.0 libgreet $REPO/hello-2.0.zpk -D "says hello"
zpm_run -f -r -U hello
check_eq "-f -U: result as text" "0 hello successfully updated" "$RC $OUT"

# A question without a terminal is refused, and nothing is removed.
OUT=$(setsid -w chroot "$ZR" /usr/bin/env -i PATH=/usr/bin:/bin LC_ALL=C zpm-tty -D hello \
  </dev/null 2>&1)
check_contains "no terminal: refused" "no terminal to answer on, answering no" "$OUT"
check "no terminal: still installed" inv_has hello
# Typed on a terminal: the question, then the answer.
OUT=$("$ZPM_SRC/tests/tools/pty-answer" "[y/n]" y chroot "$ZR" /usr/bin/env -i \
  PATH=/usr/bin:/bin LC_ALL=C zpm-tty -D hello)
check_eq "typed yes: exit status" 0 $?
check_contains "typed yes: question shown" "removal of hello will make the following changes:" "$OUT"
check_contains "typed yes: result" "hello successfully deleted" "$OUT"
check "typed yes: removed" test ! -e "$ZR$INV/installed/hello"
zpm_run -f -I hello
zpm_run -f -D hello
check_eq "-f -D: result as text" "0 hello successfully deleted" "$RC $OUT"
finish
