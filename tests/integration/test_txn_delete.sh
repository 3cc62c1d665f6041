#!/bin/bash
# Removing installed packages for real in a throwaway root: failing delete scripts and the
# restore of every removed file, files missing or in the way, links, file indexes with odd
# lines, shared directories, the question, and dependencies removed with their package.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_pkgdir

# setup_pkg NAME [DEPS]: builds and installs it (dependencies from /tmp/p).
setup_pkg() {
  build "$1" "${2:-}"
  yad_reset; zpm_do -o incdir=/tmp/p -I "/tmp/p/$1.zpk"
  inv_has "$1" || fail "$1 could not be installed for the test" "$ERR"
}
del() { yad_reset; : > "$ZR/var/log/zpm.log"; zpm_do -D "$1"; }
deleted() {
  check_eq "$1: exits 0" 0 "$RC"
  check_eq "$1: result shown" "$1 successfully deleted
|" "$(yad_texts)"
  check "$1: inventory entry gone" test ! -e "$ZR$INV/installed/$1"
  check "$1: file index gone" test ! -e "$ZR$INV/fileindex/$1"
  check "$1: backups dropped" test ! -e "$ZR$STAGE/$1_x86_64_1.0"
  check_eq "$1: install log" "deleted $1_x86_64_1.0 as requested by user" "$(install_events | tail -n 1)"
}
kept() {
  check "$1: still registered" inv_has "$1"
  check "$1: backups dropped" test ! -e "$ZR$STAGE/$1_x86_64_1.0"
  check_eq "$1: no install log line" 0 "$(install_events | grep -c "deleted $1_")"
}
state() { local f; for f in "$@"; do printf '%s:%s:%s ' "$f" "$(content "$f")" "$(mode "$f")"; done; }

# ------------------------------------------------------------ pre-delete fails
pkgsrc pd; pkgfile pd /usr/share/pd/a.txt a 0640
recscript pd 00-del.sh pre-pd
printf 'exit 3\n' >> "$ZR/tmp/pkgsrc/pd/init/00-del.sh"
setup_pkg pd
index=$(fileindex pd)
del pd
check_eq "pd: result shown" "Failure deleting pd, rc: 768
|" "$(yad_texts)"
kept pd
check_eq "pd: file untouched" "a 640" "$(content /usr/share/pd/a.txt) $(mode /usr/share/pd/a.txt)"
check_eq "pd: file index untouched" "$index" "$(fileindex pd)"
check "pd: logged" log_has "zpm_one_delete: pre-delete got an error, aborting"
check_eq "pd: runs in the script directory" "$INV/scriptdir" "$(rec_pwd pre-pd)"
check_eq "pd: PATH" "$INV/scriptdir" "$(rec_env pre-pd PATH)"
check_eq "pd: no ZPK_STAGE_OLD" "<unset>" "$(rec_env pre-pd ZPK_STAGE_OLD)"
check_eq "pd: no ZPM_ZPKDIR" "<unset>" "$(rec_env pre-pd ZPM_ZPKDIR)"
check "pd: command line logged" log_has \
  "zpm_one_delete_zpk: cmdline: cd $INV/scriptdir && PATH=$INV/scriptdir $INV/scriptdir/ash $INV/installed/pd/init/00-del.sh"

# ------------------------------------------------------------ post-delete fails, then succeeds
pkgsrc po; pkgfile po /usr/share/po/a.txt aaa 0751; pkgfile po /usr/share/po/b.txt bbb 0600
pkginfo po link.txt '/usr/share/po||
|a.txt|lnk
'
recscript po 99-del.sh post-po
cat >> "$ZR/tmp/pkgsrc/po/init/99-del.sh" <<'EOF'
cat "$ZPK_STAGE_OLD/usr/share/po/b.txt" > /tmp/po-saw
ls /usr/share/po > /tmp/po-ls
exit 2
EOF
setup_pkg po
before=$(state /usr/share/po/a.txt /usr/share/po/b.txt)
index=$(fileindex po)
del po
check_eq "po: result shown" "Failure deleting po, rc: 512
|" "$(yad_texts)"
kept po
check_eq "po: files back with their modes" "$before" "$(state /usr/share/po/a.txt /usr/share/po/b.txt)"
check_eq "po: file index untouched" "$index" "$(fileindex po)"
check_eq "po: the link is still there" a.txt "$(readlink "$ZR/usr/share/po/lnk")"
check_eq "po: the script ran after the files were removed" lnk "$(content /tmp/po-ls)"
check_eq "po: the script sees the backups" bbb "$(content /tmp/po-saw)"
check_eq "po: ZPK_STAGE_OLD" "$STAGE/po_x86_64_1.0/old" "$(rec_env post-po ZPK_STAGE_OLD)"
check_eq "po: ZPM_ZPKDIR" "$INV/installed/po" "$(rec_env post-po ZPM_ZPKDIR)"
check_eq "po: runs in the script directory" "$INV/scriptdir" "$(rec_pwd post-po)"
check_eq "po: PATH" "$INV/scriptdir" "$(rec_env post-po PATH)"
check "po: logged" log_has "zpm_one_delete: post-delete got an error, aborting"
check "po: command line logged" log_has \
  "zpm_one_delete: cmdline: cd $INV/scriptdir && PATH=$INV/scriptdir ZPK_STAGE_OLD=$STAGE/po_x86_64_1.0/old ZPM_ZPKDIR=$INV/installed/po $INV/scriptdir/ash $INV/installed/po/init/99-del.sh"
printf 'exit 0\n' > "$ZR$INV/installed/po/init/99-del.sh"
del po
deleted po
check "po: files removed" test ! -e "$ZR/usr/share/po/a.txt" -a ! -e "$ZR/usr/share/po/b.txt"
check "po: link removed" test ! -L "$ZR/usr/share/po/lnk"
check "po: the directory stays" test -d "$ZR/usr/share/po"

# ------------------------------------------------------------ links and files in their way
pkgsrc ln; pkgfile ln /usr/share/ln/t.txt t
pkginfo ln link.txt '/usr/share/ln||
|t.txt|l1
|t.txt|l2
'
setup_pkg ln
check "ln: both links made" test -L "$ZR/usr/share/ln/l1" -a -L "$ZR/usr/share/ln/l2"
rm "$ZR/usr/share/ln/l2"; printf mine > "$ZR/usr/share/ln/l2"
del ln
deleted ln
check "ln: the link is removed" test ! -L "$ZR/usr/share/ln/l1" -a ! -e "$ZR/usr/share/ln/l1"
check_eq "ln: a regular file at a link's name stays" mine "$(content /usr/share/ln/l2)"
check "ln: the file is removed" test ! -e "$ZR/usr/share/ln/t.txt"

pkgsrc lnf; pkgfile lnf /usr/share/lnf/t.txt t
pkginfo lnf link.txt '/usr/share/lnfd||
|/usr/share/lnf/t.txt|l
'
setup_pkg lnf
check "lnf: link made" test -L "$ZR/usr/share/lnfd/l"
rm -r "$ZR/usr/share/lnfd"; printf 'in the way' > "$ZR/usr/share/lnfd"
del lnf
deleted lnf
check "lnf: the directory that cannot be entered is logged" log_has \
  "zpm_zpf_links: Failed to change to directory /usr/share/lnfd, skipping everything until the next directory entry"
check "lnf: the link list's result is only logged" log_has "zpm_one_delete: rc of zpm_zpf_links: "
check_eq "lnf: what stands in its way is untouched" "in the way" "$(content /usr/share/lnfd)"
check "lnf: the file is removed" test ! -e "$ZR/usr/share/lnf/t.txt"

# ------------------------------------------------------------ a registered file already gone
pkgsrc miss; pkgfile miss /usr/share/miss/a.txt a; pkgfile miss /usr/share/miss/b.txt b
setup_pkg miss
rm "$ZR/usr/share/miss/a.txt"
del miss
deleted miss
check "miss: the other file is removed" test ! -e "$ZR/usr/share/miss/b.txt"
check "miss: warned" log_has \
  "zpm_one_delete: Failed to access registered file /usr/share/miss/a.txt: No such file or directory, skipping"

# ------------------------------------------------------------ a registered file cannot be removed
pkgsrc rof; pkgfile rof /usr/share/rof/a.txt a; pkgfile rof /usr/share/rofw/b.txt b
setup_pkg rof
mount --bind "$ZR/usr/share/rof" "$ZR/usr/share/rof" && mount -o remount,bind,ro "$ZR/usr/share/rof"
del rof
deleted rof
check_eq "rof: the file that cannot be removed stays" a "$(content /usr/share/rof/a.txt)"
check "rof: the other file is removed" test ! -e "$ZR/usr/share/rofw/b.txt"
check "rof: warned" log_has "zpm_one_delete: Failed to remove registered file /usr/share/rof/a.txt: "
umount "$ZR/usr/share/rof"

# ------------------------------------------------------------ a backup cannot be made
pkgsrc bk; pkgfile bk /usr/share/bk/a.txt a 0604
head -c 300000 /dev/urandom > "$ZR/tmp/pkgsrc/bk/data/big.bin"
mkdir -p "$ZR/tmp/pkgsrc/bk/data/usr/share/bk" && mv "$ZR/tmp/pkgsrc/bk/data/big.bin" "$ZR/tmp/pkgsrc/bk/data/usr/share/bk/"
setup_pkg bk
printf '/usr/share/bk/a.txt\n/usr/share/bk/big.bin\n' > "$ZR$INV/fileindex/bk"
sum=$(sha1sum < "$ZR/usr/share/bk/big.bin")
mount -t tmpfs -o size=64k smallstage "$ZR$STAGE"
del bk
check_eq "bk: result shown" "Failure deleting bk, rc: -1
|" "$(yad_texts)"
check_eq "bk: the file removed before is restored" "a 604" "$(content /usr/share/bk/a.txt) $(mode /usr/share/bk/a.txt)"
check_eq "bk: the file that could not be saved is intact" "$sum" "$(sha1sum < "$ZR/usr/share/bk/big.bin")"
check "bk: still registered" inv_has bk
check "bk: logged" log_has "zpm_one_delete: Failed to backup /usr/share/bk/big.bin"
check "bk: backups dropped" test ! -e "$ZR$STAGE/bk_x86_64_1.0"
umount "$ZR$STAGE"

# ------------------------------------------------------------ a registered file replaced by a link
pkgsrc dsym; pkgfile dsym /usr/share/dsym/f.txt f; setup_pkg dsym
printf victim > "$ZR/tmp/victim"
rm "$ZR/usr/share/dsym/f.txt"; ln -s /tmp/victim "$ZR/usr/share/dsym/f.txt"
del dsym
deleted dsym
check "dsym: the link is removed" test ! -L "$ZR/usr/share/dsym/f.txt"
check_eq "dsym: what it pointed to stays" victim "$(content /tmp/victim)"

# ------------------------------------------------------------ no file index
pkgsrc nofi; recscript nofi 99-del.sh post-nofi
setup_pkg nofi
check "nofi: has no file index" test ! -e "$ZR$INV/fileindex/nofi"
del nofi
deleted nofi
check "nofi: logged" log_has "zpm_one_delete: no fileindex. This is ok"
check_eq "nofi: its post-delete script ran" "$INV/installed/nofi" "$(rec_env post-nofi ZPM_ZPKDIR)"

# ------------------------------------------------------------ odd file index lines
pkgsrc fx; for f in a b c; do pkgfile fx /usr/share/fx/$f.txt $f; done
setup_pkg fx
printf '/usr/share/fx/a.txt\n\n/usr/share/fx/b.txt\n/usr/share/fx/c.txt' > "$ZR$INV/fileindex/fx"
del fx
deleted fx
for f in a b c; do check "fx: $f.txt removed" test ! -e "$ZR/usr/share/fx/$f.txt"; done

# ------------------------------------------------------------ shared directory
pkgsrc s1; pkgfile s1 /usr/share/common/s1.txt s1; setup_pkg s1
pkgsrc s2; pkgfile s2 /usr/share/common/s2.txt s2; setup_pkg s2
del s1
deleted s1
check_eq "s1: only its own file goes" "s2.txt" "$(ls "$ZR/usr/share/common")"
del s2
deleted s2
check_eq "s2: the emptied directory stays" "" "$(ls -A "$ZR/usr/share/common" 2>&1)"

# ------------------------------------------------------------ files left alone at install
pkgsrc lk; pkgfile lk /usr/share/lk/keep.txt packaged; pkgfile lk /usr/share/lk/new.txt new; build lk
mkdir -p "$ZR/usr/share/lk"; printf local > "$ZR/usr/share/lk/keep.txt"
zpm_ask "0;0 leave existing file;0" -I /tmp/p/lk.zpk
del lk
deleted lk
check_eq "lk: a file left alone at install is never removed" local "$(content /usr/share/lk/keep.txt)"
check "lk: its own file is removed" test ! -e "$ZR/usr/share/lk/new.txt"

# ------------------------------------------------------------ the question
pkgsrc dd; pkgfile dd /usr/share/dd/f.txt dd; setup_pkg dd
yad_reset; zpm_run -d -D dd
check_eq "dd: -d answers the question itself; only the result is shown" "dd successfully deleted
|" "$(yad_texts)"
check "dd: removed" test ! -e "$ZR$INV/installed/dd" -a ! -e "$ZR/usr/share/dd/f.txt"

pkgsrc dn; head -c 3000 /dev/zero | tr '\0' n > "$ZR/tmp/dn.bin"
pkgfile dn /usr/share/dn/f.bin "$(cat "$ZR/tmp/dn.bin")"
setup_pkg dn
dsize=$(sed -n 's/^ezpkDataSize: //p' "$ZR$INV/installed/dn/desc.txt")
summary=$(printf 'removal of dn will make the following changes:\n* removal of dn, version 1.0: Install size: %7lu kb\nDo you want to continue|' \
  $((${dsize:-0} / 1024)))
: > "$ZR/var/log/zpm.log"
zpm_ask "1" -D dn
check_eq "dn: answered no: only the question" "$summary" "$(yad_texts)"
check "dn: answered no: still installed" inv_has dn
check "dn: answered no: file stays" test -f "$ZR/usr/share/dn/f.bin"
check "dn: answered no: logged" log_has "Ok, skipping removal of dn"
zpm_ask "0;0" -D dn
check_eq "dn: answered yes: question, then result" "${summary}dn successfully deleted
|" "$(yad_texts)"
check "dn: answered yes: removed" test ! -e "$ZR$INV/installed/dn" -a ! -e "$ZR/usr/share/dn/f.bin"
check "dn: answered yes: logged" log_has "Ok, removing package dn"

yad_reset; : > "$ZR/var/log/zpm.log"
zpm_do -D notthere
check_eq "notthere: exits 0 without a dialog" "0 0" "$RC $(yad_calls)"
check "notthere: logged" log_has "notthere cannot be removed"

# ------------------------------------------------------------ dependencies go with their package
pkgsrc d1; pkgfile d1 /usr/share/d1/f.txt d1; build d1
pkgsrc d2; pkgfile d2 /usr/share/d2/f.txt d2; build d2
pkgsrc top; pkgfile top /usr/share/top/f.txt top; setup_pkg top d1,d2
del top
check_eq "top: result shown" "top successfully deleted
|" "$(yad_texts)"
check_eq "top: the package first, then what it brought" "deleted top_x86_64_1.0 as requested by user
deleted d1_x86_64_1.0 as dependency of top
deleted d2_x86_64_1.0 as dependency of top" "$(install_events | tail -n 3)"
for n in top d1 d2; do
  check "top: $n unregistered" test ! -e "$ZR$INV/installed/$n"
  check "top: $n file removed" test ! -e "$ZR/usr/share/$n/f.txt"
done

pkgsrc d4; pkgfile d4 /usr/share/d4/f.txt d4; pkgscript d4 00-del.sh 'exit 1'; build d4
pkgsrc top4; pkgfile top4 /usr/share/top4/f.txt top4; setup_pkg top4 d4
del top4
check_eq "top4: a dependency that fails is reported" "Failure deleting top4, rc: 256
|" "$(yad_texts)"
check "top4: the package itself stays removed" test ! -e "$ZR$INV/installed/top4" -a ! -e "$ZR/usr/share/top4/f.txt"
check_eq "top4: only its removal is logged" "deleted top4_x86_64_1.0 as requested by user" \
  "$(install_events | tail -n 1)"
check "top4: the dependency stays" inv_has d4
check_eq "top4: the dependency's file stays" d4 "$(content /usr/share/d4/f.txt)"
finish
