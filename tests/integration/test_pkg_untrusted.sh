#!/bin/bash
# Input the package layer and the queries cannot trust: a FIFO in the certificate store (the
# signature check blocked on it, holding the lock), a cut package file (zpm -C listed part of
# it and exited 0), a catalogue record without a name (zpm -S crashed), a desc.txt whose values
# refer to local files (zpk-build published them in the header), an installed entry with
# 20,000 dependencies (every inventory read took half a minute).
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
source "$(dirname "$0")/txnulib.sh"

# timed SECONDS ARGS...: zpm, killed should it take longer; sets RC and OUT.
timed() {
  local limit=$1; shift
  OUT=$(zroot_run timeout -s KILL "$limit" /usr/bin/zpm "$@" 2>/dev/null </dev/null)
  RC=$?
}

# ------------------------------------------------ a FIFO in the certificate store
pkgsrc h
pkgfile h /opt/h/f hi
pkgbuild h 1.0 '' /tmp/pkgs/h.zpk
crt=$(ls "$ZR$INV/certstore/"*.crt)
mv "$crt" "$ZR/tmp/saved.crt"
mkfifo "$crt"
timed 20 -f -I /tmp/pkgs/h.zpk
check_eq "a FIFO in the certificate store: the install ends by itself" 0 "$RC"
check "and installs nothing" test ! -e "$ZR$INV/installed/h" -a ! -e "$ZR/opt/h"
rm -f "$crt"
mv "$ZR/tmp/saved.crt" "$crt"

# ------------------------------------------------ zpm -C of a cut package file
pkgsrc big
mkdir -p "$ZR/tmp/pkgsrc/big/data/opt"
for i in 1 2 3 4; do head -c 40000 /dev/urandom > "$ZR/tmp/pkgsrc/big/data/opt/f$i"; done
pkgbuild big 1.0 '' /tmp/pkgs/big.zpk
size=$(stat -c %s "$ZR/tmp/pkgs/big.zpk")
head -c $((size / 2)) "$ZR/tmp/pkgs/big.zpk" > "$ZR/tmp/pkgs/cut.zpk"
timed 20 -C /tmp/pkgs/big.zpk
check_eq "-C of the whole package lists every data member" "0 6" "$RC $(wc -l <<<"$OUT")"
: > "$ZR/var/log/zpm.log"
timed 20 -C /tmp/pkgs/cut.zpk
check_eq "-C of a cut package lists nothing and exits 1" "1 " "$RC $OUT"
check "and logs why" grep -qF "Failed to read the contents of package file /tmp/pkgs/cut.zpk" \
  "$ZR/var/log/zpm.log"

# ------------------------------------------------ a catalogue record without a name
cat > "$ZR/tmp/noname.c" <<'EOF'
#include <stdlib.h>
#include <string.h>
#include <zpm/zpc.h>
static ZPC conn;
ZPC *zpc_connect(s_ekva **c, s_zpmlog *l) { (void)c; (void)l; return &conn; }
int zpc_refresh(ZPC *z) { (void)z; return 0; }
int zpc_findpkg(ZPC *z, char *n, char *v, char *ver, int a, s_ekva **e, ZPI ***list) {
    (void)z; (void)n; (void)v; (void)ver; (void)a; (void)e;
    ZPI **out = calloc(3, sizeof *out);
    for (int i = 0; i < 2; i++) {
        out[i] = calloc(1, sizeof(ZPI));
        out[i]->name = i ? strdup("named") : NULL;
        out[i]->version = strdup("1.0");
        out[i]->arch = 1;
    }
    *list = out;
    return 2;
}
int zpc_readpkg(ZPC *z, ZPI *p, FILE *f) { (void)z; (void)p; (void)f; return -1; }
int zpc_release(ZPC *z) { (void)z; return 0; }
EOF
cc -shared -fPIC -I"$ZPM_SRC/include" -o "$ZR/usr/lib/zpm/zpc-noname.so" "$ZR/tmp/noname.c"
cp "$ZR/etc/zpm.conf" "$ZR/tmp/zpm.conf.good"
echo zpc_backend=zpc-noname.so >> "$ZR/etc/zpm.conf"
yad_answers "0 1|"
timed 20 -S
check_eq "-S with a nameless record: the row picked is the named package" "0 named" "$RC $OUT"
cp "$ZR/tmp/zpm.conf.good" "$ZR/etc/zpm.conf"

# ------------------------------------------------ file references in a package source
echo TOPSECRET > "$ZR/root/secret"
for ref in "ezpkDescription:< file:///root/secret" "ezpkCreator;binary: /root/secret"; do
  pkgsrc s
  echo "$ref" >> "$ZR/tmp/pkgsrc/s/info/desc.txt"
  err=$(zroot_run zpk-build --unsigned -n s -v 1 -a any -o /tmp/pkgs/s.zpk /tmp/pkgsrc/s 2>&1)
  check_eq "zpk-build refuses \"$ref\"" "1 no" "$? $(test -e "$ZR/tmp/pkgs/s.zpk" && echo yes || echo no)"
  check_contains "and says why" "refers to a file" "$err"
done

# ------------------------------------------------ an entry with 20,000 dependencies
mkdir -p "$ZR$INV/installed/many"
{ printf 'ezpmVersion: 1.0\nezpkName: many\nezpkVersion: 1\nezpkArchitecture: any\n'
  seq -f 'ezpkDependency: d%g' 1 20000; } > "$ZR$INV/installed/many/desc.txt"
printf 'ezpkInstallTime: 1700000000\nezpkInstallType: X\n' > "$ZR$INV/installed/many/inst.txt"
yad_reset
start=$(date +%s%N)
timed 20 -L many
ms=$((($(date +%s%N) - start) / 1000000))
check_eq "-L reads the entry" "$(printf '1\nmany\n\n1\n')" "$(yad_stdin 1)"
check "in well under a second ($ms ms)" test "$ms" -lt 1500
finish
