#!/bin/bash
# The index of a remote repository is taken only signed by a certificate of the store, intact,
# not older than the cached one and not expired: a tampered index, a foreign signer, a missing
# signature, a rollback and an expired index are each refused with the reason, the cached index
# stays as it was and searches keep answering from it.  An unsigned repository only with
# zpc_http_allow_unsigned.
source "$(dirname "$0")/httplib.sh"
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
R=/srv/repo
mkdir -p "$ZR$R"
pkgsrc p; pkgfile p /opt/p p-1
pkgbuild p 1.0 '' $R/p-1.0.zpk
repo_publish $R
nginx_start repo 8081 "$ZR$R"
http_conf "http://127.0.0.1:8081"
zpm_run -R
CACHE=$ZR/var/cache/zpm/zpc-http
good=$(cat "$CACHE/index.ldif" "$CACHE/index.meta" | sha256sum)
cp "$ZR$R/index.ldif" "$ZR$R/index.ldif.sig" "$ZR/tmp/"

found() {
  yad_reset; zpm_run -S "$1"
  yad_stdin 1 | awk -v n="$1" 'NR % 5 == 2 { name = $0 } NR % 5 == 4 && name == n { print }'
}
utc() { date -u -d "$1" +%Y-%m-%dT%H:%M:%SZ; }
generated=$(sed -n 's/^generated: //p' "$ZR$R/index.ldif.sig")

# A second version in the repository, indexed but not signed.
pkgsrc p; pkgfile p /opt/p p-2
pkgbuild p 2.0 '' $R/p-2.0.zpk
zroot_run zpk-index $R >/dev/null 2>&1
cp "$ZR$R/index.ldif" "$ZR/tmp/index2.ldif"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$HTTP_TMP/intruder.key" \
  -out "$HTTP_TMP/intruder.crt" -days 2 -subj '/CN=Intruder' 2>/dev/null

tampered() { # the same size, one version changed
  cp "$ZR/tmp/index.ldif" "$ZR/tmp/index.ldif.sig" "$ZR$R/"
  sed -i 's/^ezpkVersion: 1.0$/ezpkVersion: 9.0/' "$ZR$R/index.ldif"
  touch -d '-1 hour' "$ZR$R/index.ldif" # another validator than the cached copy's
}
foreign() { craft_sig $R "$(utc now)" "$(utc '+1 day')" "$HTTP_TMP/intruder.key" "$HTTP_TMP/intruder.crt"; }
unsigned() { rm -f "$ZR$R/index.ldif.sig"; }
rollback() { craft_sig $R "$(utc '-1 hour')" "$(utc '+1 day')"; }
expired() { craft_sig $R "$generated" "$(utc '-1 minute')"; }
while IFS='|' read -r what make reason; do
  cp "$ZR/tmp/index2.ldif" "$ZR$R/index.ldif"
  $make
  yad_reset; zpm_run -R
  check_eq "$what: the refresh fails" $'Failed to refresh the catalogue\n|' "$(yad_text 1)"
  check_contains "$what: the reason is given" "$reason" "$ERR"
  check_eq "$what: the cached index stays as it was" "$good" \
    "$(cat "$CACHE/index.ldif" "$CACHE/index.meta" | sha256sum)"
  check_eq "$what: searches answer from it" 1.0 "$(found p)"
done <<'CASES'
a tampered index|tampered|the index does not match its signature
a signer not in the store|foreign|certificate is not in the certificate store (signer /CN=Intruder)
a missing signature|unsigned|no signature index.ldif.sig (HTTP status 404)
an index older than the cached one|rollback|before the cached index
an expired index|expired|it expired on
CASES

cp "$ZR/tmp/index2.ldif" "$ZR$R/index.ldif"
unsigned
http_conf "http://127.0.0.1:8081" zpc_http_allow_unsigned=yes
yad_reset; zpm_run -R
check_eq "an unsigned index with zpc_http_allow_unsigned=yes: taken" \
  "$(printf '1.0\n2.0')" "$(found p | sort)"
repo_publish $R
http_conf "http://127.0.0.1:8081"
yad_reset; zpm_run -R
check_eq "signed again and current: taken" $'Ok, refreshed the package catalogue\n|' "$(yad_text 1)"
finish
