#!/bin/bash
# Faults of mirrors while installing from a remote repository: the first mirror refusing
# connections, answering 404, serving a truncated or altered package, stalling mid-body or
# sending more than the package: the install still succeeds from the second mirror (a cut file
# resumed with a range request).  With every mirror bad it fails before anything is installed,
# with the reason in the log.
source "$(dirname "$0")/httplib.sh"
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
S=$ZR/srv
mkdir -p "$S/good" "$S/missing" "$S/cut" "$S/altered"
pkgsrc b; pkgfile b /opt/b/data "$(head -c 30000 /dev/urandom | base64 -w 76)"
pkgbuild b 1.0 '' /srv/good/b-1.0.zpk
pkgsrc a; pkgfile a /opt/a/data a-1
pkgbuild a 1.0 b /srv/good/a-1.0.zpk
repo_publish /srv/good
for d in missing cut altered; do cp "$S/good/index.ldif" "$S/good/index.ldif.sig" "$S/$d/"; done
for f in a-1.0.zpk b-1.0.zpk; do
  head -c "$(($(stat -c %s "$S/good/$f") / 2))" "$S/good/$f" > "$S/cut/$f"
  cp "$S/good/$f" "$S/altered/$f"
  printf 'X' | dd of="$S/altered/$f" bs=1 seek=1000 conv=notrunc 2>/dev/null
done
nginx_start good 8081 "$S/good"
nginx_start missing 8082 "$S/missing"
nginx_start cut 8083 "$S/cut"
nginx_start altered 8084 "$S/altered"
nginx_start elsewhere 8087 "$S/good" '' 'location / { return 302 file:///etc/passwd; }'
nginx_start loop 8088 "$S/good" '' 'location / { return 302 /again$uri; }'
fault_server_start 8085 "$S/good" stall
fault_server_start 8086 "$S/good" long
GOOD=http://127.0.0.1:8081
http_conf "$GOOD" zpc_http_low_speed_time=2 zpc_http_connect_timeout=2
zpm_run -R

# Installs a (which needs b) with the mirrors given, from an empty stage; RC, ELAPSED.
install_with() {
  http_conf "$1" zpc_http_low_speed_time=2 zpc_http_connect_timeout=2
  rm -rf "$ZR$INV/stagearea"/* "$ZR/var/cache/zpm/zpc-http/packages"
  : > "$ZR/var/log/zpm.log"
  yad_reset
  local t0=$SECONDS
  zpm_do -I a
  ELAPSED=$((SECONDS - t0))
}

remove_all() { zpm_do -D a; zpm_do -D b; }

# ------------------------------------------- a bad first mirror, a good second one
while IFS='|' read -r what first reason; do
  install_with "$first $GOOD"
  check_eq "$what: the install exits 0" 0 "$RC"
  check "$what: both packages are installed" inv_has a
  check "$what: the dependency too" inv_has b
  check "$what: the log names the fault" log_has "$reason"
  remove_all
done <<'CASES'
connection refused|http://127.0.0.1:8099|Couldn't connect to server
404|http://127.0.0.1:8082|HTTP status 404
truncated|http://127.0.0.1:8083|short body
altered|http://127.0.0.1:8084|the file's SHA-1 is
stalled mid-body|http://127.0.0.1:8085|the transfer stalled
longer than the package|http://127.0.0.1:8086|the server sent more than the
CASES

install_with "http://127.0.0.1:8083 $GOOD"
check "a cut file is resumed on the next mirror with a range request" \
  grep -q '"GET /b-1.0.zpk HTTP/1.1" 206' <(nginx_log good)
remove_all
install_with "http://127.0.0.1:8085 $GOOD"
check "a stalled download is given up within the configured time (2 s per stall)" \
  test "$ELAPSED" -le 5
remove_all

# ------------------------------------------- redirects: http and https only, and not forever
while IFS='|' read -r what first reason; do
  http_conf "$first $GOOD"
  : > "$ZR/var/log/zpm.log"
  yad_reset; zpm_run -R
  check_eq "$what: the refresh succeeds from the next mirror" \
    $'Ok, refreshed the package catalogue\n|' "$(yad_text 1)"
  check "$what: the log names the fault" log_has "$reason"
done <<'CASES'
a redirect to a file: URL|http://127.0.0.1:8087|Protocol "file" not supported or disabled
a redirect loop|http://127.0.0.1:8088|Maximum (5) redirects followed
CASES

# ------------------------------------------------------------------ every mirror bad
install_with "http://127.0.0.1:8099 http://127.0.0.1:8082 http://127.0.0.1:8084"
check_eq "with every mirror bad the install fails" $'Failure installing a, rc: -1\n|' \
  "$(yad_text "$(yad_calls)")"
check "nothing is installed" test ! -e "$ZR$INV/installed/a" -a ! -e "$ZR$INV/installed/b"
check "no file of either package is written" test ! -e "$ZR/opt/a/data" -a ! -e "$ZR/opt/b/data"
check "the log says why" log_has "cannot fetch b_x86_64_1.0 from any mirror: the file's SHA-1 is"
finish
