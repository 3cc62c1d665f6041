# Pieces of the install benchmark: the packages, the minimal zpm root, the file
# systems, and per tool a prep_ step (untimed), a cmd_ that puts the timed install command
# into the array CMD, and a verify_ step.
# Sourced by bench/install/run and bench/install/profile.

median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

# prepare_packages DIR FILES BUILD: DIR/src is the payload tree, DIR/pkgs the packages.
prepare_packages() {
  local w=$1 files=$2 build=$3 p=$1/pkgs
  mkdir -p "$p"
  python3 "$here/make_tree.py" "$w/src" "$files" "$(awk -v f="$files" 'BEGIN { print f / 100 }')" >&2
  local bytes
  bytes=$(find "$w/src/data" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
  (cd "$p" && openssl req -x509 -newkey rsa:2048 -nodes -keyout signer.key -out signer.crt \
     -days 365 -subj '/O=Bench/CN=Bench Package Signer' 2>/dev/null)
  "$build/src/zpk-build/zpk-build" -k "$p/signer.key" -c "$p/signer.crt" -o "$p/benchpkg.zpk" "$w/src"
  local len
  len=$((10#$(head -c 11 "$p/benchpkg.zpk" | tail -c 5)))
  tail -c +$((12 + len)) "$p/benchpkg.zpk" > "$p/payload.cpio.gz"
  make_pacman_pkg "$w" "$bytes"
  make_deb "$w" "$bytes"
  (cd "$w/src/data" && find . -type f -print0 | sort -z | xargs -0 sha1sum) > "$p/data.sha1"
  printf '%d files, %.1f MB; zpk %.1f MB, pacman %.1f MB, deb %.1f MB (gzip)\n' "$files" \
    "$(awk -v b="$bytes" 'BEGIN { print b / 1e6 }')" \
    "$(stat -c %s "$p/benchpkg.zpk" | awk '{ print $1 / 1e6 }')" \
    "$(stat -c %s "$p/benchpkg.pkg.tar.gz" | awk '{ print $1 / 1e6 }')" \
    "$(stat -c %s "$p/benchpkg.deb" | awk '{ print $1 / 1e6 }')" > "$p/summary"
  cat "$p/summary" >&2
}

# A pacman package as makepkg lays it out: .PKGINFO and .MTREE first, gzip like the others.
# The version is $pkgver (default 1.0-1), the same for make_deb.
make_pacman_pkg() {
  local w=$1 bytes=$2 t=$1/pac
  mkdir -p "$t"
  cp -al "$w/src/data/." "$t/"
  cat > "$t/.PKGINFO" <<EOF
pkgname = benchpkg
pkgbase = benchpkg
pkgver = ${pkgver:-1.0-1}
pkgdesc = install benchmark payload
url = https://example.invalid/
builddate = 1700000000
packager = Bench <bench@example.invalid>
size = $bytes
arch = x86_64
license = custom
EOF
  (cd "$t" && LANG=C bsdtar -czf .MTREE --format=mtree \
     --options='!all,use-set,type,uid,gid,mode,time,size,md5,sha256,link' .PKGINFO usr &&
   LANG=C bsdtar -cf - .PKGINFO .MTREE usr | gzip -6 > "$w/pkgs/benchpkg.pkg.tar.gz")
  cat > "$w/pkgs/pacman.conf" <<EOF
[options]
Architecture = auto
SigLevel = Never
LocalFileSigLevel = Never
EOF
  rm -rf "$t"
}

make_deb() {
  local w=$1 bytes=$2 t=$1/deb
  mkdir -p "$t/DEBIAN"
  cp -al "$w/src/data/." "$t/"
  cat > "$t/DEBIAN/control" <<EOF
Package: benchpkg
Version: ${pkgver:-1.0-1}
Architecture: amd64
Maintainer: Bench <bench@example.invalid>
Installed-Size: $((bytes / 1024))
Section: misc
Priority: optional
Description: install benchmark payload
 Files of the install benchmark.
EOF
  (cd "$t" && find usr -type f -print0 | sort -z | xargs -0 md5sum > DEBIAN/md5sums)
  dpkg-deb --root-owner-group -Zgzip -z6 --build "$t" "$w/pkgs/benchpkg.deb" >/dev/null
  rm -rf "$t"
}

# make_zpm_base DIR BUILD CERT: a minimal root in which zpm runs with its real fixed paths:
# zpm, the zpc-dirs back end, busybox as /bin/sh and as the script shell, a yad stand-in,
# the libraries they load, the inventory directories and the signer in the certificate store.
make_zpm_base() {
  local z=$1 build=$2 cert=$3 a lib
  mkdir -p "$z"/{bin,usr/bin,usr/lib/zpm,etc,root,tmp,dev,var/log} \
           "$z"/var/lib/zpm/{installed,fileindex,stagearea,scriptdir,certstore}
  chmod 1777 "$z/tmp"
  install -m 0755 "$build/src/zpm/zpm" "$z/usr/bin/zpm"
  install -m 0644 "$build/src/backends/zpc-dirs/zpc-dirs.so" "$z/usr/lib/zpm/zpc-dirs.so"
  install -m 0755 "$(command -v busybox)" "$z/bin/busybox"
  for a in $(busybox --list); do
    [ -e "$z/bin/$a" ] || ln -s busybox "$z/bin/$a"
  done
  ln -s /bin/busybox "$z/var/lib/zpm/scriptdir/ash"
  printf '#!/bin/sh\n[ "$1" = --version ] && echo "0.40.0 (GTK+ 3.24.38)"\nexit 0\n' > "$z/usr/bin/yad"
  chmod 0755 "$z/usr/bin/yad"
  for lib in $(ldd "$build/src/zpm/zpm" "$build/src/backends/zpc-dirs/zpc-dirs.so" "$(command -v busybox)" 2>/dev/null |
               awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// && NF == 2 { print $1 }' | sort -u); do
    [ -e "$z$lib" ] || cp -L --parents "$lib" "$z"
  done
  cp "$cert" "$z/var/lib/zpm/certstore/$(openssl x509 -noout -subject_hash -in "$cert").crt"
  printf 'arch_name=x86_64\ndist_name=zorvek\ndist_vers=1.0\nzpm_vers=1.0.24\nzpm_loglevel=7\n' > "$z/etc/zpm.conf"
  mknod -m 0666 "$z/dev/null" c 1 3
  mknod -m 0666 "$z/dev/zero" c 1 5
  mknod -m 0666 "$z/dev/urandom" c 1 9
}

# mount_fs tmpfs|ext4 DIR: mounts a fresh file system of that kind on DIR (recorded in mounts).
mount_fs() {
  local fs=$1 m=$2
  mkdir -p "$m"
  if [ "$fs" = tmpfs ]; then
    mount -t tmpfs -o size=6g,mode=0755 bench "$m"
  else
    truncate -s 4G "$W/ext4.img"
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$W/ext4.img"
    mount -o loop "$W/ext4.img" "$m"
  fi
  mounts+=("$m")
}

prep_bsdtar() { mkdir -p "$1"; }
cmd_bsdtar() { CMD=(bsdtar -xzf "$2/pkgs/payload.cpio.gz" -C "$1"); }
verify_bsdtar() { (cd "$1/data" && sha1sum -c --quiet "$2/pkgs/data.sha1"); }

prep_pacman() { mkdir -p "$1"/var/lib/pacman "$1"/var/cache/pacman/pkg "$1"/var/log "$1"/etc/pacman.d/hooks; }
cmd_pacman() {
  CMD=(pacman -U --noconfirm --noprogressbar --noscriptlet --config "$2/pkgs/pacman.conf" --root "$1" \
    --dbpath "$1/var/lib/pacman" --cachedir "$1/var/cache/pacman/pkg" --logfile "$1/var/log/pacman.log" \
    --hookdir "$1/etc/pacman.d/hooks" --gpgdir "$1/etc/pacman.d/gnupg" "$2/pkgs/benchpkg.pkg.tar.gz")
}
verify_pacman() { (cd "$1" && sha1sum -c --quiet "$2/pkgs/data.sha1"); }

prep_dpkg() {
  mkdir -p "$1"/var/lib/dpkg/{info,updates,triggers} "$1"/var/log
  : > "$1/var/lib/dpkg/status"
  : > "$1/var/lib/dpkg/available"
}
cmd_dpkg() {
  CMD=(dpkg --root="$1" --admindir="$1/var/lib/dpkg" --log="$1/var/log/dpkg.log" --force-not-root \
    -i "$2/pkgs/benchpkg.deb")
}
verify_dpkg() { (cd "$1" && sha1sum -c --quiet "$2/pkgs/data.sha1"); }

prep_dpkg_unsafe() { prep_dpkg "$@"; }
cmd_dpkg_unsafe() {
  CMD=(dpkg --root="$1" --admindir="$1/var/lib/dpkg" --log="$1/var/log/dpkg.log" --force-not-root \
    --force-unsafe-io -i "$2/pkgs/benchpkg.deb")
}
verify_dpkg_unsafe() { verify_dpkg "$@"; }

# The package file lies in the root (a hard link, same file system), named relative to /root.
prep_zpm() {
  cp -a "$2/zbase" "$1"
  ln "$2/pkgs/benchpkg.zpk" "$1/root/benchpkg.zpk"
}
cmd_zpm() {
  CMD=(chroot "$1" /bin/env -i PATH=/usr/bin:/bin HOME=/root LC_ALL=C TZ=UTC
       /bin/sh -c 'cd /root && exec zpm -f -I ./benchpkg.zpk')
}
verify_zpm() {
  [ -f "$1/var/lib/zpm/installed/benchpkg/inst.txt" ] || { echo "benchpkg not registered"; return 1; }
  [ "$(wc -l < "$1/var/lib/zpm/fileindex/benchpkg")" = "$(wc -l < "$2/pkgs/data.sha1")" ] \
    || { echo "file index does not list every file"; return 1; }
  (cd "$1" && sha1sum -c --quiet "$2/pkgs/data.sha1")
}
