# Pieces of the small-package benchmark: COUNT packages of five 1 KB files each, as .zpk,
# pacman packages and .debs, and per tool the untimed prep_, the timed command and a check.
# Sourced by bench/small/run after bench/install/lib.sh.

# make_small_trees DIR COUNT: DIR/src/NNNN/{data,info,init} of package smallNNNN, version 1.0.
# Every file of every package has its own random bytes; each package writes
#   /usr/bin/small-NNNN (0755), /usr/share/doc/small-NNNN/README, /usr/share/small-NNNN/{a,b,c}.dat
make_small_trees() {
  python3 - "$1/src" "$2" <<'PY'
import os, sys
out, count = sys.argv[1], int(sys.argv[2])
for i in range(1, count + 1):
    n = "%04d" % i
    top = os.path.join(out, n)
    files = [("usr/bin/small-" + n, 0o755)] + [("usr/share/doc/small-%s/README" % n, 0o644)] + \
            [("usr/share/small-%s/%s.dat" % (n, c), 0o644) for c in "abc"]
    for rel, mode in files:
        p = os.path.join(top, "data", rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(os.urandom(1024))
        os.chmod(p, mode)
    os.makedirs(os.path.join(top, "info"), exist_ok=True)
    os.makedirs(os.path.join(top, "init"), exist_ok=True)
    with open(os.path.join(top, "info", "desc.txt"), "w") as f:
        f.write("ezpmVersion: 1.0\nezpkName: small%s\nezpkVersion: 1.0\n"
                "ezpkArchitecture: x86_64\nezpkDescription: small package %s\n" % (n, n))
PY
}

# small_pacman DIR N: DIR/pkgs/smallN.pkg.tar.gz from DIR/src/N/data.
small_pacman() {
  local w=$1 n=$2 t=$1/pac-$2
  mkdir -p "$t"
  cp -a "$w/src/$n/data/." "$t/"
  cat > "$t/.PKGINFO" <<EOF
pkgname = small$n
pkgbase = small$n
pkgver = 1.0-1
pkgdesc = small package $n
url = https://example.invalid/
builddate = 1700000000
packager = Bench <bench@example.invalid>
size = 5120
arch = x86_64
license = custom
EOF
  (cd "$t" && LANG=C bsdtar -czf .MTREE --format=mtree \
     --options='!all,use-set,type,uid,gid,mode,time,size,md5,sha256,link' .PKGINFO usr &&
   LANG=C bsdtar -cf - .PKGINFO .MTREE usr | gzip -6 > "$w/pkgs/small$n.pkg.tar.gz")
  rm -rf "$t"
}

# small_deb DIR N: DIR/pkgs/smallN.deb from DIR/src/N/data.
small_deb() {
  local w=$1 n=$2 t=$1/deb-$2
  mkdir -p "$t/DEBIAN"
  cp -a "$w/src/$n/data/." "$t/"
  cat > "$t/DEBIAN/control" <<EOF
Package: small$n
Version: 1.0-1
Architecture: amd64
Maintainer: Bench <bench@example.invalid>
Installed-Size: 5
Section: misc
Priority: optional
Description: small package $n
 Five files of 1 KB.
EOF
  (cd "$t" && find usr -type f -print0 | sort -z | xargs -0 md5sum > DEBIAN/md5sums)
  dpkg-deb --root-owner-group -Zgzip -z6 --build "$t" "$w/pkgs/small$n.deb" >/dev/null
  rm -rf "$t"
}

# prepare_small DIR COUNT BUILD: the trees, a signer, and every package in three formats;
# DIR/pkgs/NNNN.sha1 lists the data files of package NNNN.
prepare_small() {
  local w=$1 count=$2 build=$3 p=$1/pkgs n
  mkdir -p "$p"
  make_small_trees "$w" "$count"
  (cd "$p" && openssl req -x509 -newkey rsa:2048 -nodes -keyout signer.key -out signer.crt \
     -days 365 -subj '/O=Bench/CN=Bench Package Signer' 2>/dev/null)
  for n in $(cd "$w/src" && ls); do
    "$build/src/zpk-build/zpk-build" -k "$p/signer.key" -c "$p/signer.crt" \
      -o "$p/small$n.zpk" "$w/src/$n" >/dev/null
    small_pacman "$w" "$n"
    small_deb "$w" "$n"
  done
  for n in $(cd "$w/src" && ls); do
    (cd "$w/src/$n/data" && find . -type f -print0 | sort -z | xargs -0 sha1sum) > "$p/$n.sha1"
  done
  cat > "$p/pacman.conf" <<EOF
[options]
Architecture = auto
SigLevel = Never
LocalFileSigLevel = Never
EOF
  printf '%d packages of 5 files of 1 KB; zpk %d KB, pacman %d KB, deb %d KB each (gzip)\n' \
    "$count" "$(($(stat -c %s "$p/small0001.zpk") / 1024))" \
    "$(($(stat -c %s "$p/small0001.pkg.tar.gz") / 1024))" \
    "$(($(stat -c %s "$p/small0001.deb") / 1024))" > "$p/summary"
}

# The packages of one timed command: "all" (every package) or one number NNNN.
small_files() {
  local m=$1 which=$2 ext=$3
  if [ "$which" = all ]; then
    ls "$m/pkgs/"small*."$ext" | sort
  else
    echo "$m/pkgs/small$which.$ext"
  fi
}

# cmd_small_TOOL ROOT M WHICH [BUILD_INDEX]: the timed command into CMD.
cmd_small_pacman() {
  local files
  mapfile -t files < <(small_files "$2" "$3" pkg.tar.gz)
  CMD=(pacman -U --noconfirm --noprogressbar --noscriptlet --config "$2/pkgs/pacman.conf" --root "$1"
    --dbpath "$1/var/lib/pacman" --cachedir "$1/var/cache/pacman/pkg" --logfile "$1/var/log/pacman.log"
    --hookdir "$1/etc/pacman.d/hooks" --gpgdir "$1/etc/pacman.d/gnupg" "${files[@]}")
}
cmd_small_dpkg() {
  local files
  mapfile -t files < <(small_files "$2" "$3" deb)
  CMD=(dpkg --root="$1" --admindir="$1/var/lib/dpkg" --log="$1/var/log/dpkg.log" --force-not-root
    -i "${files[@]}")
}
# zpm names the packages in /root, where prep_small_zpm links them; it runs in its root with a
# clean environment, which costs two short programs (env, chroot) before it starts.
cmd_small_zpm() {
  local names=() f
  for f in $(small_files "$2" "$3" zpk); do names+=("/root/${f##*/}"); done
  CMD=(env -i PATH=/usr/bin:/bin HOME=/root LC_ALL=C TZ=UTC "$(command -v chroot)" "$1" /usr/bin/zpm -f -I "${names[@]}")
}
# What zpm cannot leave out, without zpm: the same start in its root and one result dialog (the
# yad stand-in, started as zpm starts it) per package; a shell loop runs them for many packages.
cmd_small_dlg() {
  local n=1 dlg='yad --title=zpm --center  --width=400 --height=200  --text x --no-markup --button=gtk-ok:0  --timeout=3'
  [ "$3" = all ] && n=$(small_files "$2" all zpk | wc -l)
  if [ "$n" = 1 ]; then
    CMD=(env -i PATH=/usr/bin:/bin HOME=/root LC_ALL=C TZ=UTC "$(command -v chroot)" "$1" /usr/bin/$dlg)
  else
    CMD=(env -i PATH=/usr/bin:/bin HOME=/root LC_ALL=C TZ=UTC "$(command -v chroot)" "$1" /bin/sh -c
         "i=0; while [ \$i -lt $n ]; do $dlg; i=\$((i + 1)); done")
  fi
}
prep_small_dlg() { cp -a "$3" "$1"; }
verify_small_dlg() { :; }

prep_small_pacman() { prep_pacman "$1"; }
prep_small_dpkg() { prep_dpkg "$1"; }
# prep_small_zpm ROOT M BASE: a copy of the minimal root BASE with every package in /root.
prep_small_zpm() {
  cp -a "$3" "$1"
  ln "$2"/pkgs/small*.zpk "$1/root/"
}

# verify_small_TOOL ROOT M WHICH: the files (and for zpm the entries) of the packages installed.
small_sums() {
  if [ "$2" = all ]; then cat "$1"/pkgs/[0-9]*.sha1; else cat "$1/pkgs/$2.sha1"; fi
}
verify_small_files() { (cd "$1" && sha1sum -c --quiet) < <(small_sums "$2" "$3"); }
verify_small_zpm() {
  local want have
  want=$(small_files "$2" "$3" zpk | wc -l)
  have=$(ls "$1"/var/lib/zpm/installed/*/inst.txt 2>/dev/null | wc -l)
  [ "$have" -ge "$want" ] || { echo "$have of $want packages registered"; return 1; }
  verify_small_files "$@"
}
verify_small_pacman() { verify_small_files "$@"; }
verify_small_dpkg() { verify_small_files "$@"; }
