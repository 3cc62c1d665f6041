#!/bin/bash
# zpk-build as installed: the package it writes in a throwaway root unpacks
# with standard tools (cpio, gzip, openssl) to exactly the source tree (its
# symbolic link carried in the link list), with a signature that openssl
# accepts; a refused build leaves nothing behind.
source "$(dirname "$0")/lib.sh"

setup_root
W=$ZR/var/tmp/zb
mkdir -p "$W/src/data/usr/bin" "$W/src/info" "$W/src/init" "$W/out"
printf '#!/bin/sh\necho hi\n' > "$W/src/data/usr/bin/hi"; chmod 0751 "$W/src/data/usr/bin/hi"
ln -s hi "$W/src/data/usr/bin/hello"
printf 'ezpmVersion: 1.0\nezpkName: hi\nezpkVersion: 2.0\nezpkArchitecture: any\n' > "$W/src/info/desc.txt"
printf 'echo add\n' > "$W/src/init/00-add.sh"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$W/key.pem" -out "$W/cert.pem" \
  -subj "/C=DE/O=Integration/CN=Builder" -days 2 2>/dev/null

zroot_run /usr/bin/zpk-build -k /var/tmp/zb/key.pem -c /var/tmp/zb/cert.pem -D "says hi" \
  -o /var/tmp/zb/out/hi.zpk /var/tmp/zb/src >/dev/null 2>&1
check_eq "build succeeds" 0 $?
pkg=$W/out/hi.zpk
check_eq "magic" "EZPM10" "$(head -c 6 "$pkg")"
len=$((10#$(head -c 11 "$pkg" | tail -c 5)))
head -c $((11 + len)) "$pkg" | tail -c "$len" > "$W/desc"
tail -c +$((12 + len)) "$pkg" > "$W/payload.gz"
check_contains "description names the signer" "ezpkRsaSigSubj: /C=DE/O=Integration/CN=Builder" "$(cat "$W/desc")"
check_contains "description has the data size" "ezpkDataSize: 18" "$(cat "$W/desc")"

# The signature, unfolded from the LDIF, checked by openssl alone.
sed -n '/^ezpkRsaSigData:: /,$p' "$W/desc" | sed '1s/^ezpkRsaSigData:: //; 2,$s/^ //' | tr -d '\n' \
  | base64 -d > "$W/sig"
openssl x509 -in "$W/cert.pem" -pubkey -noout > "$W/pub.pem"
check "openssl verifies the payload signature" \
  openssl dgst -sha1 -verify "$W/pub.pem" -signature "$W/sig" "$W/payload.gz"

mkdir "$W/x"
(cd "$W/x" && gzip -dc "$W/payload.gz" | cpio -id --quiet)
check "data unpacked by cpio equals the source, its link aside" \
  diff -r -x hello "$W/src/data" "$W/x/data"
check "init unpacked by cpio equals the source" diff -r "$W/src/init" "$W/x/init"
check_eq "mode kept" "751" "$(stat -c %a "$W/x/data/usr/bin/hi")"
check_eq "symlink kept, in the link list" "/usr/bin|hi|hello" "$(cat "$W/x/info/link.txt")"
check_eq "hash list of data" "$(cd "$W/src/data" && sha1sum usr/bin/hi | sed 's/  /:/')" \
  "$(cat "$W/x/hash/data.txt")"
check_eq "hash list of init" "$(cd "$W/src/init" && sha1sum 00-add.sh | sed 's/  /:/')" \
  "$(cat "$W/x/hash/init.txt")"

rm -f "$W/src/info/desc.txt"
zroot_run /usr/bin/zpk-build --unsigned -o /var/tmp/zb/out/bad.zpk /var/tmp/zb/src >/dev/null 2>&1
check_eq "missing desc.txt fails" 1 $?
check_eq "nothing left behind" "hi.zpk" "$(ls "$W/out")"

finish
