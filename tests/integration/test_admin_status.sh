#!/bin/bash
# Strict exit statuses (-o status=strict, or zpm_status=strict in zpm.conf): every way a mode
# can fail to do what was asked ends with its documented status (3 not done, 4 failed or refused,
# 5 declined); without the switch the same runs end with 0 as they always did.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
pkgsrc ok; pkgfile ok /usr/share/ok/f ok; pkgscript ok 00-del.sh 'exit 0'; build ok
pkgsrc ok2; pkgfile ok2 /usr/share/ok2/f ok; build ok2
pkgsrc badpre; pkgfile badpre /usr/share/badpre/f x; pkgscript badpre 00-add.sh 'exit 1'; build badpre
pkgsrc uns; pkgfile uns /usr/share/uns/f x
zroot_run zpk-build -u -n uns -v 1.0 -a x86_64 -o /tmp/p/uns.zpk /tmp/pkgsrc/uns >/dev/null 2>&1
pkgsrc baddel; pkgfile baddel /usr/share/baddel/f x; pkgscript baddel 00-del.sh 'exit 1'; build baddel
pkgsrc ok; pkgfile ok /usr/share/ok/f ok2; pkgscript ok 99-add.sh 'exit 1'
pkgbuild ok 2.0 "" $REPO/ok-2.0.zpk
zpm_do -I /tmp/p/ok.zpk /tmp/p/baddel.zpk

# what | zpm arguments | fake yad answers | status with the switch
cases=(
  "unknown name to install|-f -I nosuch||3"
  "refused (unsigned) package file|-f -I /tmp/p/uns.zpk||4"
  "failed install|-f -I /tmp/p/badpre.zpk||4"
  "unknown name to update|-f -U nosuch||3"
  "failed update|-f -r -U ok||4"
  "unknown name to remove|-f -D nosuch||3"
  "failed removal|-f -D baddel||4"
  "declined install|-I /tmp/p/ok2.zpk|1|5"
  "unknown name to query|-Q nosuch||3"
  "unknown name for contents|-C nosuch||3"
)
for c in "${cases[@]}"; do
  IFS='|' read -r what args answers want <<<"$c"
  # shellcheck disable=SC2086
  zpm_ask "$answers" $args
  check_eq "$what: 0 without the switch" 0 "$RC"
  # shellcheck disable=SC2086
  zpm_ask "$answers" -o status=strict $args
  check_eq "$what: status $want with it" "$want" "$RC"
done
zpm_run -o status=strict -f -I /tmp/p/ok2.zpk
check_eq "done as asked: 0 with the switch" 0 "$RC"

printf 'zpm_status=strict\nzpc_backend=zpc_test_fail.so\nzpc_test_mode=refresh\n' >> "$ZR/etc/zpm.conf"
zpm_run -R
check_eq "failed refresh, switch in zpm.conf: status 4" 4 "$RC"
finish
