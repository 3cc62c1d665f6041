#!/bin/bash
# Things planted at and on the way to the files of a package: a symbolic link that another
# user put in a directory on the way is never written, removed or chmod-ed through, a link
# named in a permission list keeps what it points to unchanged, root's own directory links
# (as /lib -> usr/lib) still work, and a FIFO where a registered file was does not hang zpm.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir
nobody_link() { ln -s "$1" "$ZR$2" && chown -h 65534:65534 "$ZR$2"; }
# zpm_bounded ARGS...: zpm -f ARGS, killed after 30 s; RC 124 tells it hung.
zpm_bounded() {
  zroot_run timeout -s KILL 30 /usr/bin/zpm -f "$@" >/dev/null 2>&1 </dev/null
  RC=$?
}

# ------------------------------------------------ a user's link in a directory on the way
pkgsrc pw; pkgfile pw /opt/pw/g.txt g; pkgfile pw /opt/pw/sub/f.txt payload; build pw
mkdir -p "$ZR/opt/pw" "$ZR/tmp/victim"; printf precious > "$ZR/tmp/victim/f.txt"
nobody_link /tmp/victim /opt/pw/sub
yad_reset
zpm_do -I /tmp/p/pw.zpk
check_eq "pw: the install fails" "Failure installing /tmp/p/pw.zpk, rc: -1
|" "$(yad_texts)"
check_eq "pw: nothing was written through the link" "f.txt precious" \
  "$(ls "$ZR/tmp/victim") $(content /tmp/victim/f.txt)"
check "pw: not registered, what was placed is gone again" \
  test ! -e "$ZR$INV/installed/pw" -a ! -e "$ZR/opt/pw/g.txt"
check "pw: the refusal names the link" log_has "/opt/pw/sub is a symbolic link owned by user 65534"

# ------------------------------------------------ root's own link on the way is followed
pkgsrc ml; pkgfile ml /opt/ml/lib/libm.txt m; build ml
mkdir -p "$ZR/opt/ml/real"; ln -s real "$ZR/opt/ml/lib"
zpm_do -I /tmp/p/ml.zpk
check_eq "ml: installed through root's link" "m" "$(content /opt/ml/real/libm.txt)"

# ------------------------------------------------ a permission list naming a link
pkgsrc pp; pkgfile pp /opt/pp/tool t; pkginfo pp perm.txt "/opt/pp/extra|4777
/opt/pp/tool|4750
"; build pp
mkdir -p "$ZR/opt/pp"; printf v > "$ZR/tmp/victim2"; chmod 0644 "$ZR/tmp/victim2"
ln -s /tmp/victim2 "$ZR/opt/pp/extra"
zpm_do -I /tmp/p/pp.zpk
check "pp: installed" inv_has pp
check_eq "pp: what the link points to keeps its mode" "644" "$(mode /tmp/victim2)"
check_eq "pp: the package's own file gets its mode" "4750" "$(mode /opt/pp/tool)"

# ------------------------------------------------ removal through a user's link on the way
pkgsrc pd; pkgfile pd /opt/pd/d/f.txt f; pkgfile pd /opt/pd/e.txt e; build pd
zpm_do -I /tmp/p/pd.zpk
mv "$ZR/opt/pd/d" "$ZR/opt/pd/d.moved"; mkdir -p "$ZR/tmp/v3"; printf keep > "$ZR/tmp/v3/f.txt"
nobody_link /tmp/v3 /opt/pd/d
zpm_do -D pd
check "pd: deleted" test ! -e "$ZR$INV/installed/pd" -a ! -e "$ZR/opt/pd/e.txt"
check_eq "pd: the file behind the link stays" keep "$(content /tmp/v3/f.txt)"

# ------------------------------------------------ a FIFO where a registered file was
pkgsrc pf; pkgfile pf /opt/pf/f f; pkgfile pf /opt/pf/g g; build pf
zpm_do -I /tmp/p/pf.zpk
rm "$ZR/opt/pf/f"; mkfifo "$ZR/opt/pf/f"
zpm_bounded -D pf
check_eq "pf: the delete ends and succeeds" 0 "$RC"
check "pf: the package is removed, the FIFO left alone" \
  test ! -e "$ZR$INV/installed/pf" -a ! -e "$ZR/opt/pf/g" -a -p "$ZR/opt/pf/f"
finish
