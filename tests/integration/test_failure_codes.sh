#!/bin/bash
# Every failure the README's table explains, provoked once: what zpm shows or writes, and its
# exit status.  One row each: the set-up, the command, the exit status, and the text that
# must appear in a dialog, on standard error or in the log.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
pkgsrc ok && pkgfile ok /opt/ok/a a && build ok
pkgsrc script && pkgfile script /opt/script/a a && pkgscript script 00-add.sh "exit 3" && build script
pkgsrc owner && pkgfile owner /opt/ok/a mine && build owner
pkgsrc needs && build needs missing
pkgsrc stranger && pkgfile stranger /opt/stranger/a a && build stranger
# Signed, but by a certificate that is not in the store.
zroot_run sh -c "cd /root && openssl req -x509 -newkey rsa:2048 -nodes -keyout o.key -out o.crt \
  -days 365 -subj '/CN=Someone Else' 2>/dev/null && zpk-build -k o.key -c o.crt -n stranger \
  -v 1.0 -a x86_64 -o /tmp/p/stranger.zpk /tmp/pkgsrc/stranger >/dev/null"
zpm_do -I /tmp/p/ok.zpk

none() { :; }
no_yad() { touch "$FY/noversion"; }
no_conf() { mv "$ZR/etc/zpm.conf" "$ZR/etc/zpm.conf.away"; }
no_backend() { echo "zpc_backend=missing.so" >> "$ZR/etc/zpm.conf"; }
locked() { # another process holds the inventory lock (the same lockf lock zpm takes)
  rm -f "$ZR/tmp/locked"
  python3 -c '
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o640)
fcntl.lockf(fd, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
time.sleep(60)' "$ZR$INV/lock" "$ZR/tmp/locked" &
  LOCKER=$!
  for _ in $(seq 50); do [ -e "$ZR/tmp/locked" ] && break; sleep 0.1; done
}
# name | set-up | zpm arguments | exit status | where | text
rows=(
  "script fails|none|-f -I /tmp/p/script.zpk|0|dialog|Failure installing /tmp/p/script.zpk, rc: 768"
  "file of another package|none|-f -I /tmp/p/owner.zpk|0|dialog|Failure installing /tmp/p/owner.zpk, rc: -1"
  "missing dependency|none|-f -I /tmp/p/needs.zpk|0|dialog|/tmp/p/needs.zpk cannot be installed"
  "untrusted signer|none|-f -I /tmp/p/stranger.zpk|0|log|Failure verifying signature of"
  "inventory locked|locked|-f -I /tmp/p/ok.zpk|1|log|failed to lock inventory"
  "no dialog program|no_yad|-L|1|stderr|Failed to initualize user interface"
  "no configuration|no_conf|-L|1|stderr|Failed to read zpm config /etc/zpm.conf"
  "no back end|no_backend|-L|2|log|Failed to load catalogue backend missing.so!"
  "dry run|none|-n -I /tmp/p/script.zpk /tmp/p/owner.zpk|2|dialog|The following packages would be installed"
)
cp "$ZR/etc/zpm.conf" "$ZR/tmp/zpm.conf.good"
for row in "${rows[@]}"; do
  IFS='|' read -r name setup args want where text <<<"$row"
  yad_reset
  cp "$ZR/tmp/zpm.conf.good" "$ZR/etc/zpm.conf"
  : > "$ZR/var/log/zpm.log"
  LOCKER=""
  $setup
  read -r -a argv <<<"$args"
  zpm_run "${argv[@]}"
  case $where in
    dialog) seen=$(cat "$FY"/*.args "$FY"/*.stdin 2>/dev/null) ;;
    stderr) seen=$ERR ;;
    log) seen=$(cat "$ZR/var/log/zpm.log") ;;
  esac
  check_eq "$name: exit status" "$want" "$RC"
  check_contains "$name: $where" "$text" "$seen"
  [ -n "$LOCKER" ] && { kill "$LOCKER" 2>/dev/null; wait "$LOCKER" 2>/dev/null; }
  rm -f "$ZR/etc/zpm.conf.away"
done

finish
