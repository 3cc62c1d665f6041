#!/bin/bash
# zpk-index writes the index zpm -R writes for the same directory, byte for byte, and a
# signature openssl verifies; it fails clearly on bad input.  zpc-dirs keeps the index of a
# repository it cannot write (a read-only mount) in its cache, and -R succeeds.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
R=/srv/repo
mkdir -p "$ZR$R"
pkgsrc base; pkgfile base /opt/base x
pkgbuild base 1.0 '' $R/base-1.0.zpk
pkgsrc tool; pkgfile tool /opt/tool y
pkgbuild tool 2.1 'base' $R/tool-gtk-2.1.zpk -V gtk -D 'Werkzeug für alles'
echo "zpc_dirs=$R" >> "$ZR/etc/zpm.conf"
yad_reset; zpm_run -R
cp "$ZR$R/index.ldif" "$ZR/tmp/by-zpm.ldif"
check_contains "the index holds a variant and an encoded description" "ezpkVariant: gtk" \
  "$(grep -e "^ezpkVariant" -e "^ezpkDescription::" "$ZR/tmp/by-zpm.ldif")"
rm "$ZR$R/index.ldif"
zroot_run zpk-index $R >/dev/null
check "zpk-index writes the index zpm -R writes" cmp "$ZR/tmp/by-zpm.ldif" "$ZR$R/index.ldif"
rm "$ZR$R/index.ldif"
zroot_run sh -c 'cd /srv && zpk-index repo/' >/dev/null
check "also given a relative path" cmp "$ZR/tmp/by-zpm.ldif" "$ZR$R/index.ldif"

zroot_run zpk-index --sign $KEYS/signer.key --cert $KEYS/signer.crt --valid-days 3 $R >/dev/null
sig=$ZR$R/index.ldif.sig
sed '$d' "$sig" > "$ZR/tmp/signed.txt"
sed -n '$s/^signature: //p' "$sig" | base64 -d > "$ZR/tmp/sig.bin"
openssl x509 -pubkey -noout -in "$ZR$KEYS/signer.crt" > "$ZR/tmp/pub.pem"
check "openssl verifies the signature (RSA, SHA-256) over the text before it" \
  openssl dgst -sha256 -verify "$ZR/tmp/pub.pem" -signature "$ZR/tmp/sig.bin" -out /dev/null \
  "$ZR/tmp/signed.txt"
check_eq "the signature names the index's digest" "$(sha256sum < "$ZR$R/index.ldif" | cut -d' ' -f1)" \
  "$(sed -n 's/^sha256: //p' "$sig")"
g=$(date -u -d "$(sed -n 's/^generated: //p' "$sig")" +%s)
v=$(date -u -d "$(sed -n 's/^valid-until: //p' "$sig")" +%s)
check_eq "valid for the days asked" $((3 * 86400)) $((v - g))

# ---------------------------------------------------------------------- failures
run_index() { zroot_run zpk-index "$@" >/dev/null 2>"$ZR/tmp/err"; RC=$?; ERR=$(cat "$ZR/tmp/err"); }
while IFS='|' read -r what status message args; do
  # shellcheck disable=SC2086
  run_index $args
  check_eq "$what: exit status" "$status" "$RC"
  check_contains "$what: says why" "$message" "$ERR"
done <<'CASES'
no such directory|1|zpk-index: /srv/none is not a directory|/srv/none
a key without certificate|2|--sign and --cert go together|--sign /root/keys/signer.key /srv/repo
a key that is not one|1|no usable PEM private key in /root/keys/signer.crt|--sign /root/keys/signer.crt --cert /root/keys/signer.crt /srv/repo
days out of range|2|--valid-days wants a number of days|--sign /root/keys/signer.key --cert /root/keys/signer.crt --valid-days 0 /srv/repo
CASES
echo junk > "$ZR$R/broken.zpk"
run_index $R
check_eq "an unreadable package file: exit status 1" 1 "$RC"
check_contains "named on standard error" "skipping /srv/repo/broken.zpk" "$ERR"
check_contains "the stale signature is removed and said so" "removed /srv/repo/index.ldif.sig" "$ERR"
check_eq "the others are indexed" 2 "$(grep -c '^dn: ' "$ZR$R/index.ldif")"
rm "$ZR$R/broken.zpk"

# ------------------------------------------------- zpc-dirs and a read-only repository
mkdir -p "$ZR/srv/ro" && cp "$ZR$R"/*.zpk "$ZR/srv/ro/"
mount --bind "$ZR/srv/ro" "$ZR/srv/ro" && mount -o remount,bind,ro "$ZR/srv/ro"
sed -i 's#^zpc_dirs=.*#zpc_dirs=/srv/ro#' "$ZR/etc/zpm.conf"
yad_reset; zpm_run -R
check_eq "-R on a read-only repository succeeds" $'Ok, refreshed the package catalogue\n|' \
  "$(yad_text 1)"
check "its index is kept in the cache" test -f "$ZR/var/cache/zpm/zpc-dirs/%2Fsrv%2Fro/index.ldif"
check "the repository is not written" test ! -e "$ZR/srv/ro/index.ldif"
zpm_do -I tool
check "packages install from it" inv_has tool
finish
