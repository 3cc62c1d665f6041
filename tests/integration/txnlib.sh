# Helpers of the tests that install, update and remove packages for real in a throwaway root.
# Source after lib.sh.
#
#   txn_setup                   fresh root (setup_root), busybox applets in the script directory,
#                               a signing key whose certificate is in the certificate store
#   txn_keys                    only the signing key and its certificate
#   pkgsrc NAME                 a fresh package source tree /tmp/pkgsrc/NAME inside the root;
#                               prints its path as seen from outside ($ZR...)
#   pkgfile NAME REL CONTENT [MODE]   a data file data/REL in that tree
#   pkgscript NAME SCRIPT BODY  an init script (00-add.sh, 99-add.sh, 99-cfg.sh, ...)
#   pkginfo NAME FILE CONTENT   an info file (link.txt, perm.txt)
#   pkgbuild NAME VERSION DEPS OUT [extra zpk-build options]
#                               signs the tree into OUT (a path inside the root)
#   zpm_do ARGS...              zpm_run with -f (force: no questions)
#   inv_has NAME                the package is registered (installed/NAME with desc.txt, inst.txt)
#   content PATH                the content of PATH inside the root
#   mode PATH                   the octal mode of PATH inside the root
#   log_has TEXT                /var/log/zpm.log contains TEXT
#   install_log                 /var/lib/zpm/install.log
INV=/var/lib/zpm
REPO=$INV/repo
KEYS=/root/keys

txn_setup() {
  setup_root
  local a
  for a in $(busybox --list); do
    [ "$a" = busybox ] || ln -sf /bin/busybox "$ZR$INV/scriptdir/$a"
  done
  sed -i 's/^zpm_loglevel=.*/zpm_loglevel=15/' "$ZR/etc/zpm.conf"
  txn_keys
}

# A signing key whose certificate is in the certificate store of the root.
txn_keys() {
  mkdir -p "$ZR$KEYS" "$ZR$REPO" "$ZR$INV/certstore"
  zroot_run sh -e -c "cd $KEYS
    openssl req -x509 -newkey rsa:2048 -nodes -keyout signer.key -out signer.crt -days 365 \
      -subj '/C=DE/O=Zorvek Test/CN=Package Signer' 2>/dev/null
    cp signer.crt $INV/certstore/\$(openssl x509 -noout -subject_hash -in signer.crt).crt"
}

pkgsrc() {
  rm -rf "$ZR/tmp/pkgsrc/$1"
  mkdir -p "$ZR/tmp/pkgsrc/$1/info" "$ZR/tmp/pkgsrc/$1/data" "$ZR/tmp/pkgsrc/$1/init"
  printf 'ezpmVersion: 1.0\nezpkName: %s\n' "$1" > "$ZR/tmp/pkgsrc/$1/info/desc.txt"
}

pkgfile() {
  local f=$ZR/tmp/pkgsrc/$1/data$2
  mkdir -p "$(dirname "$f")"
  printf '%s' "$3" > "$f"
  chmod "${4:-0644}" "$f"
}

pkgscript() {
  printf '%s\n' "$3" > "$ZR/tmp/pkgsrc/$1/init/$2"
}

pkginfo() {
  printf '%s' "$3" > "$ZR/tmp/pkgsrc/$1/info/$2"
}

pkgbuild() {
  local name=$1 version=$2 deps=$3 out=$4; shift 4
  zroot_run zpk-build -k $KEYS/signer.key -c $KEYS/signer.crt -n "$name" -v "$version" \
    -a x86_64 -d "$deps" -o "$out" "$@" "/tmp/pkgsrc/$name" >/dev/null 2>&1 \
    || fail "zpk-build $name $version"
}

zpm_do() { zpm_run -f "$@"; }

inv_has() { [ -f "$ZR$INV/installed/$1/desc.txt" ] && [ -f "$ZR$INV/installed/$1/inst.txt" ]; }
content() { cat "$ZR$1" 2>/dev/null; }
mode() { stat -c %a "$ZR$1" 2>/dev/null; }
log_has() { grep -qF -- "$1" "$ZR/var/log/zpm.log"; }
install_log() { cat "$ZR$INV/install.log" 2>/dev/null; }
