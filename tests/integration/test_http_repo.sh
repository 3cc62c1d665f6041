#!/bin/bash
# A remote repository served by nginx: a fresh root configured with only the back end, the
# mirror and the signer's certificate searches, installs with dependencies, refreshes (with a
# conditional request) and updates, over http and over https (a wrong CA refused).
source "$(dirname "$0")/httplib.sh"
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
test_ca
mkdir -p "$ZR/srv/repo"
pkgsrc libx; pkgfile libx /usr/lib/libx.txt libx-1
pkgbuild libx 1.0 '' /srv/repo/libx-1.0.zpk
pkgsrc app; pkgfile app /usr/bin/app.txt app-1
pkgbuild app 1.0 libx /srv/repo/app-1.0.zpk
repo_publish /srv/repo
nginx_start m1 8081 "$ZR/srv/repo"
http_conf "http://127.0.0.1:8081/"

# The versions a search of the catalogue shows for NAME, one per line.
found() {
  yad_reset; zpm_run -S "$1"
  yad_stdin 1 | awk -v n="$1" 'NR % 5 == 2 { name = $0 } NR % 5 == 4 && name == n { print }'
}

# ------------------------------------------------------------ first use, install, update
zpm_run -S app
check_contains "a search before the first refresh says how to get an index" "run zpm -R" "$ERR"
yad_reset; zpm_run -R
check_eq "the first refresh succeeds" $'Ok, refreshed the package catalogue\n|' "$(yad_text 1)"
check_eq "searches answer from the cached index" 1.0 "$(found app)"
zpm_do -I app
check_eq "install from the mirror exits 0" 0 "$RC"
check "the package and its dependency are installed" inv_has app
check "the dependency is installed" inv_has libx
check_eq "with their files" "app-1 libx-1" "$(content /usr/bin/app.txt) $(content /usr/lib/libx.txt)"
check_eq "both files came over HTTP, once each" "1 1" \
  "$(nginx_log m1 | grep -c 'GET /app-1.0.zpk') $(nginx_log m1 | grep -c 'GET /libx-1.0.zpk')"
check "the back end's cache keeps no copy of what zpm staged" \
  test -z "$(ls "$ZR/var/cache/zpm/zpc-http/packages")"

yad_reset; zpm_run -R
check_eq "a second refresh succeeds" $'Ok, refreshed the package catalogue\n|' "$(yad_text 1)"
check_contains "and asks for the index with a condition the server answers with 304" \
  '"GET /index.ldif HTTP/1.1" 304' "$(nginx_log m1)"

pkgsrc app; pkgfile app /usr/bin/app.txt app-2
pkgbuild app 2.0 libx /srv/repo/app-2.0.zpk
repo_publish /srv/repo
zpm_run -R
check_eq "the refresh takes the new index" "1.0 2.0" "$(found app | sort | tr '\n' ' ' | sed 's/ $//')"
zpm_do -U app
check_eq "update from the mirror exits 0" 0 "$RC"
check_eq "the new version's file is in place" app-2 "$(content /usr/bin/app.txt)"

kill "${SERVER_PIDS[0]}"; wait "${SERVER_PIDS[0]}" 2>/dev/null
check_eq "with the server gone, searches still answer" "1.0 2.0" \
  "$(found app | sort | tr '\n' ' ' | sed 's/ $//')"

# ------------------------------------------------------------------------ https
mkdir -p "$ZR/etc/zpm-test"
cp "$CA/ca.crt" "$ZR/etc/zpm-test/ca.crt"; cp "$CA/other.crt" "$ZR/etc/zpm-test/other.crt"
pkgsrc liby; pkgfile liby /usr/lib/liby.txt liby-1
pkgbuild liby 1.0 '' /srv/repo/liby-1.0.zpk
pkgsrc tool; pkgfile tool /usr/bin/tool.txt tool-1
pkgbuild tool 1.0 liby /srv/repo/tool-1.0.zpk
repo_publish /srv/repo
nginx_start tls 8443 "$ZR/srv/repo" tls
http_conf "https://127.0.0.1:8443" "zpc_http_ca_bundle=/etc/zpm-test/other.crt"
yad_reset; zpm_run -R
check_eq "https with a CA that did not sign the server's certificate: refresh fails" \
  $'Failed to refresh the catalogue\n|' "$(yad_text 1)"
check_contains "with the reason" "SSL certificate problem" "$ERR"
check_eq "and the package added since stays unseen" "" "$(found tool)"
http_conf "https://127.0.0.1:8443" "zpc_http_ca_bundle=/etc/zpm-test/ca.crt"
yad_reset; zpm_run -R
check_eq "https with the right CA: refresh succeeds" $'Ok, refreshed the package catalogue\n|' \
  "$(yad_text 1)"
check_eq "searches answer from the index fetched over https" 1.0 "$(found tool)"
zpm_do -I tool
check_eq "install over https exits 0" 0 "$RC"
check_eq "the package and its dependency came over https" "tool-1 liby-1" \
  "$(content /usr/bin/tool.txt) $(content /usr/lib/liby.txt)"
pkgsrc tool; pkgfile tool /usr/bin/tool.txt tool-2
pkgbuild tool 2.0 liby /srv/repo/tool-2.0.zpk
repo_publish /srv/repo
zpm_run -R
zpm_do -U tool
check_eq "update over https" tool-2 "$(content /usr/bin/tool.txt)"
check_eq "every package file came from the https server" 3 \
  "$(nginx_log tls | grep -c 'GET /[a-z]*-[0-9.]*zpk HTTP/1.1" 200')"
finish
