# shellcheck shell=bash
# Helpers of the update, hostile-package and kill tests. Source after lib.sh, txnlib.sh and
# txninstlib.sh.
#
#   forge_signed CMD ARGS...    zpk-forge CMD signed with the root's test signer
#   desc_version NAME [ENTRY]   ezpkVersion of installed/ENTRY/desc.txt (ENTRY defaults to NAME)
#   inst_values NAME ATTR [ENTRY]  the values of ATTR in inst.txt, one per line
#   save_entry NAME             remembers NAME's inst.txt and file index for old_kept
#   old_kept NAME WHAT          checks that NAME 1.0 is still registered exactly as saved, with
#                               /opt/NAME/keep and /opt/NAME/drop as version 1.0 left them
#   install_v1 NAME             builds and installs NAME 1.0 (/opt/NAME/keep, /opt/NAME/drop)
#   src_v2 NAME                 source tree of NAME 2.0: keep changed, drop gone, new added
#   upper_list                  every path written into the root so far (overlay upper layer)
#   stray_since LIST            paths written since LIST was taken, outside zpm's own areas
mkdir -p "$ZR/tmp/pkgs" "$ZR/tmp/deps" "$ZR/tmp/saved"

forge_signed() {
  local cmd=$1; shift
  forge "$cmd" "$@" --key "$ZR$KEYS/signer.key" --cert "$ZR$KEYS/signer.crt"
}

desc_version() {
  sed -n 's/^ezpkVersion: //p' "$ZR$INV/installed/${2:-$1}/desc.txt" 2>/dev/null
}

inst_values() {
  sed -n "s/^$2: //p" "$ZR$INV/installed/${3:-$1}/inst.txt" 2>/dev/null
}

save_entry() {
  cp "$ZR$INV/installed/$1/inst.txt" "$ZR/tmp/saved/$1.inst"
  fileindex "$1" > "$ZR/tmp/saved/$1.index"
}

old_kept() {
  local n=$1 what=$2
  check_eq "$what: version 1.0 stays registered" 1.0 "$(desc_version "$n")"
  check_eq "$what: its install record is unchanged" "$(cat "$ZR/tmp/saved/$n.inst")" \
    "$(cat "$ZR$INV/installed/$n/inst.txt" 2>/dev/null)"
  check_eq "$what: its file index is unchanged" "$(cat "$ZR/tmp/saved/$n.index")" "$(fileindex "$n")"
  check_eq "$what: the shared file has its old content" keep-1 "$(content "/opt/$n/keep")"
  check_eq "$what: the file the update drops is there" drop-1 "$(content "/opt/$n/drop")"
  check_eq "$what: with its mode" 640 "$(mode "/opt/$n/drop")"
  check "$what: the new version's file is not on disk" test ! -e "$ZR/opt/$n/new"
  check "$what: no new entry is left" \
    test ! -e "$ZR$INV/installed/.$n.new" -a ! -e "$ZR$INV/fileindex/.$n.new"
  check "$what: no previous entry was made" \
    test ! -e "$ZR$INV/installed/.$n.old" -a ! -e "$ZR$INV/fileindex/.$n.old"
  check_eq "$what: no update is logged" 0 "$(grep -c "updated ${n}_" "$ZR$INV/install.log")"
}

install_v1() {
  pkgsrc "$1"
  pkgfile "$1" "/opt/$1/keep" keep-1
  pkgfile "$1" "/opt/$1/drop" drop-1 0640
  pkgbuild "$1" 1.0 '' "/tmp/pkgs/$1-1.0.zpk"
  zpm_do -I "/tmp/pkgs/$1-1.0.zpk"
  if [ "$RC" != 0 ] || ! inv_has "$1"; then fail "$1 1.0 installs" "$ERR"; fi
  save_entry "$1"
}

src_v2() {
  pkgsrc "$1"
  pkgfile "$1" "/opt/$1/keep" keep-2
  pkgfile "$1" "/opt/$1/new" new-2
}

upper_list() {
  (cd "$ZR_BASE/upper" && find . -mindepth 1 | sort)
}

# zpm's own areas, the test's scratch files and the dialogs' temporary files are expected.
stray_since() {
  upper_list | comm -13 "$1" - | grep -vE \
    '^\./(var/lib/zpm|var/log$|var/log/zpm\.log|var/tmp/fake-yad|tmp/(pkgs|pkgsrc|saved|deps|forge|uilist|zpi_list))'
}
