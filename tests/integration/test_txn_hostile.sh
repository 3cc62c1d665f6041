#!/bin/bash
# Hostile package files through the real zpm in a throwaway root: shell text in names and
# versions is never run, a header that disagrees with the signed description is refused before
# anything is written, link and permission lists act literally, and payload members that would
# land outside the unpack directory are refused. Every write into the root is checked afterwards.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
source "$(dirname "$0")/txnulib.sh"
upper_list > "$ZR_BASE/before"

# Files a shell would have made from the texts below ("pwnedN" wherever the command would have
# run, or a file named after a word of the command line); the literal names hold more than that.
no_pwned() {
  local hits
  hits=$(cd "$ZR_BASE/upper" && find . \( -name 'pwned[0-9]' -o -name 'ZPM_MODE=*' \))
  check_eq "$1: no text was run by a shell" "" "$hits"
}

# hostile_pkg NAME VERSION OUT TAG: data /opt/TAG/f and every script, each recording in
# /tmp/hostile-TAG that it ran and in which mode.
hostile_pkg() {
  local src=$ZR/tmp/pkgsrc/hostile
  rm -rf "$src" && mkdir -p "$src/data/opt/$4" "$src/init" "$src/info"
  printf '%s %s\n' "$1" "$2" > "$src/data/opt/$4/f"
  local s
  for s in 00-add.sh 99-add.sh 99-cfg.sh 00-del.sh 99-del.sh; do
    printf 'echo "%s:$ZPM_MODE" >> /tmp/hostile-%s\n' "$s" "$4" > "$src/init/$s"
  done
  forge_signed build "$src" -o "$ZR$3" --name "$1" --version "$2"
}

# ------------------------------------------------ shell text in names and versions
# tag name
names=("semi e1;touch pwned1" "quote e2'\"\`touch pwned2\`" "subst e3\$(touch pwned3)")
for entry in "${names[@]}"; do
  tag=${entry%% *} name=${entry#* }
  hostile_pkg "$name" 1.0 "/tmp/pkgs/$tag-1.0.zpk" "$tag"
  yad_reset
  zpm_do -I "/tmp/pkgs/$tag-1.0.zpk"
  check_eq "$tag: installs" "0 /tmp/pkgs/$tag-1.0.zpk successfully installed" "$RC $(yad_texts | head -n 1)"
  check "$tag: is registered under its literal name" inv_has "$name"
  check_eq "$tag: its file is written" "$name 1.0" "$(content "/opt/$tag/f")"
  check_eq "$tag: its file index" "/opt/$tag/f" "$(fileindex "$name")"
  hostile_pkg "$name" 2.0 "/tmp/pkgs/$tag-2.0.zpk" "$tag"
  zpm_do -U "/tmp/pkgs/$tag-2.0.zpk"
  check_eq "$tag: updates" "0 2.0 $name 2.0" "$RC $(desc_version "$name") $(content "/opt/$tag/f")"
  check_eq "$tag: the previous entry is kept under the literal name" 1.0 \
    "$(desc_version "$name" ".$name.old")"
  zpm_do -D "$name"
  check_eq "$tag: is removed" "0" "$RC"
  check "$tag: with its file and entry" test ! -e "$ZR/opt/$tag/f" -a ! -e "$ZR$INV/installed/$name"
  check_eq "$tag: every script ran, in its mode" "00-add.sh:INSTALL
99-add.sh:INSTALL
99-cfg.sh:
00-add.sh:UPDATE
99-add.sh:UPDATE
99-cfg.sh:
00-del.sh:
99-del.sh:" "$(content "/tmp/hostile-$tag")"
  no_pwned "$tag"
done

# A version with command substitution reaching /tmp: the package installs or is refused, but
# the text never runs.
hostile_pkg v4 '1.0$(touch /tmp/pwned4)' /tmp/pkgs/v4.zpk v4
zpm_do -I /tmp/pkgs/v4.zpk
check_eq "version text: zpm exits 0" 0 "$RC"
check "version text: /tmp/pwned4 is never made" test ! -e "$ZR/tmp/pwned4"
if inv_has v4; then
  check_eq "version text: the literal version is registered" '1.0$(touch /tmp/pwned4)' "$(desc_version v4)"
  zpm_do -D v4
  check "version text: it is removed again" test ! -e "$ZR$INV/installed/v4"
else
  check "version text: refused without writing its file" test ! -e "$ZR/opt/v4/f"
fi
no_pwned "version text"

# Names that would reach outside the inventory or hide in it are refused before anything is
# written.
for name in "../../../../tmp/escname" "sub/dir" ".hidden"; do
  hostile_pkg "$name" 1.0 /tmp/pkgs/pathname.zpk pathname
  yad_reset
  zpm_do -I /tmp/pkgs/pathname.zpk
  check_contains "name $name: the install fails" "Failure installing /tmp/pkgs/pathname.zpk, rc: " \
    "$(yad_texts)"
  check "name $name: no file and no script" test ! -e "$ZR/opt/pathname" -a ! -e "$ZR/tmp/hostile-pathname"
  check_eq "name $name: nothing is registered" "" \
    "$(cd "$ZR$INV" && find installed fileindex -mindepth 1 -maxdepth 1 ! -name '.e[123]*')"
  check "name $name: nothing lands beside the inventory" test ! -e "$ZR/tmp/escname" -a ! -e "$ZR$INV/sub"
done

# ------------------------------------------------ a header that lies about the signed
# description
mkdir -p "$ZR/tmp/forge"
pkgsrc honest
pkgfile honest /opt/honest/f honest-1
pkgscript honest 00-add.sh 'echo ran >> /tmp/honest-ran'
pkgbuild honest 1.0 '' /tmp/forge/honest-1.0.zpk
# lie WHAT FORGE-ARGS...: the honest package with its header changed, installed.
lie() {
  local what=$1; shift
  forge alter "$ZR/tmp/forge/honest-1.0.zpk" -o "$ZR/tmp/pkgs/lie.zpk" "$@"
  local refusals
  refusals=$(logcount "differs from its signed description")
  yad_reset
  zpm_do -I /tmp/pkgs/lie.zpk
  check_contains "header $what: the install fails" "Failure installing /tmp/pkgs/lie.zpk, rc: " \
    "$(yad_texts)"
  check "header $what: nothing is registered" \
    test ! -e "$ZR$INV/installed/honest" -a ! -e "$ZR$INV/installed/liar"
  check "header $what: no file is written" test ! -e "$ZR/opt/honest/f"
  check "header $what: its script never runs" test ! -e "$ZR/tmp/honest-ran"
  check_eq "header $what: the refusal is logged" $((refusals + 1)) \
    "$(logcount "differs from its signed description")"
}
# The signature covers the payload only: a changed header field that is not compared with the
# signed description (here the free text) still installs, so the refusals below are the
# comparison's and not the signature's.
forge alter "$ZR/tmp/forge/honest-1.0.zpk" -o "$ZR/tmp/pkgs/retold.zpk" \
  --set "ezpkDescription=told differently"
zpm_do -I /tmp/pkgs/retold.zpk
check_eq "a header with another free text installs" "0 honest-1" "$RC $(content /opt/honest/f)"
zpm_do -D honest
rm -f "$ZR/tmp/honest-ran"
lie name --set ezpkName=liar
lie version --set ezpkVersion=1.1
lie architecture --set ezpkArchitecture=any
pkgsrc dep
pkgbuild dep 1.0 '' /tmp/pkgs/dep.zpk
zpm_do -I /tmp/pkgs/dep.zpk
rm -f "$ZR/tmp/honest-ran"
lie dependencies --add ezpkDependency=dep
lie variant --set ezpkVariant=v
zpm_do -D dep

# The same lie in an update: the old version keeps its files and registration.
zpm_do -I /tmp/forge/honest-1.0.zpk
rm -f "$ZR/tmp/honest-ran"
pkgsrc honest
pkgfile honest /opt/honest/f honest-2
pkgscript honest 00-add.sh 'echo ran >> /tmp/honest-ran'
pkgbuild honest 1.5 '' /tmp/forge/honest-1.5.zpk
forge alter "$ZR/tmp/forge/honest-1.5.zpk" -o "$ZR/tmp/pkgs/honest-2.0.zpk" --set ezpkVersion=2.0
yad_reset
zpm_do -U /tmp/pkgs/honest-2.0.zpk
check_contains "update with a lying version fails" "Failure updating /tmp/pkgs/honest-2.0.zpk, rc: " \
  "$(yad_texts)"
check_eq "the old version stays registered with its file" "1.0 honest-1" \
  "$(desc_version honest) $(content /opt/honest/f)"
check "the lying package's script never runs" test ! -e "$ZR/tmp/honest-ran"
check "no new entry is left" test ! -e "$ZR$INV/installed/.honest.new"
zpm_do -D honest

# ------------------------------------------------ link and permission lists act literally
mkdir -p "$ZR/opt/elsewhere"
echo mine > "$ZR/opt/elsewhere/file" && chmod 0644 "$ZR/opt/elsewhere/file"
mkdir -p "$ZR/opt/h3"
echo odd > "$ZR/opt/h3/a;touch pwned5" && chmod 0644 "$ZR/opt/h3/a;touch pwned5"
pkgsrc h3
pkgfile h3 /opt/h3/f h3
pkginfo h3 link.txt '/opt/elsewhere||
|/etc/hostname|lnk
/opt/h3||
|target|$(touch pwned6)
/opt/h3/$(touch /tmp||
|t2|pwned7)
'
pkginfo h3 perm.txt '/opt/elsewhere/file|600
/opt/h3/a;touch pwned5|0600
/opt/h3/$(touch pwned8)|0600
'
host_before=$(sha1sum < "$ZR/etc/hostname")
pkgbuild h3 1.0 '' /tmp/pkgs/h3.zpk
zpm_do -I /tmp/pkgs/h3.zpk
check_eq "lists: the package installs" 0 "$RC"
check_eq "a link outside the package is made where the list says" /etc/hostname \
  "$(readlink "$ZR/opt/elsewhere/lnk")"
check_eq "what it points to is untouched" "$host_before" "$(sha1sum < "$ZR/etc/hostname")"
check_eq "a link name with command substitution is taken literally" target \
  "$(readlink "$ZR/opt/h3/\$(touch pwned6)")"
check_eq "a directory entry with command substitution is taken literally" t2 \
  "$(readlink "$ZR/opt/h3/\$(touch /tmp/pwned7)")"
check "/tmp/pwned7 is never made" test ! -e "$ZR/tmp/pwned7"
check_eq "a mode is set on a file outside the package" 600 "$(mode /opt/elsewhere/file)"
check_eq "a file name with a ';' gets its mode literally" 600 "$(mode '/opt/h3/a;touch pwned5')"
check "a missing file is not made by its mode line" test ! -e "$ZR/opt/h3/\$(touch pwned8)"
no_pwned "lists"
zpm_do -D h3
check_eq "lists: the package is removed" 0 "$RC"
check "its links are removed, literally named ones too" test ! -L "$ZR/opt/elsewhere/lnk" \
  -a ! -L "$ZR/opt/h3/\$(touch pwned6)" -a ! -L "$ZR/opt/h3/\$(touch /tmp/pwned7)"
check_eq "files it does not own stay" mine "$(content /opt/elsewhere/file)"
no_pwned "lists removed"

# ------------------------------------------------ payload members that escape
pkgsrc esc
pkgfile esc /opt/esc/f esc
pkgbuild esc 1.0 '' /tmp/forge/esc.zpk
echo escaped > "$ZR/tmp/forge/payload"
# escape TAG MEMBER-ARGS...: the package with those members added, installed.
escape() {
  local tag=$1; shift
  forge_signed repack "$ZR/tmp/forge/esc.zpk" -o "$ZR/tmp/pkgs/esc-$tag.zpk" "$@"
  yad_reset
  zpm_do -I "/tmp/pkgs/esc-$tag.zpk"
  check_contains "$tag: the install fails" "Failure installing /tmp/pkgs/esc-$tag.zpk, rc: " \
    "$(yad_texts)"
  check "$tag: nothing is registered" test ! -e "$ZR$INV/installed/esc"
  check "$tag: the package's own file is not written" test ! -e "$ZR/opt/esc/f"
  check_eq "$tag: nothing lands outside the unpack directory" "" \
    "$(cd "$ZR_BASE/upper" && find . -name 'escape-*' ! -path "./var/lib/zpm/stagearea/*/new/*")"
}
escape dotdot --raw "../../../../../../../../tmp/escape-dotdot=$ZR/tmp/forge/payload"
escape datadotdot --raw "data/../../../../../../../../../tmp/escape-datadotdot=$ZR/tmp/forge/payload"
escape absolute --raw "/tmp/escape-absolute=$ZR/tmp/forge/payload" \
  --raw "/var/lib/zpm/scriptdir/escape-absolute=$ZR/tmp/forge/payload"
escape symlink --raw-link "data/opt/esc/to-tmp=/tmp" \
  --raw "data/opt/esc/to-tmp/escape-symlink=$ZR/tmp/forge/payload"
escape inventory --raw-link "data/opt/esc/up=../../../.." \
  --raw "data/opt/esc/up/escape-inventory=$ZR/tmp/forge/payload"

# ------------------------------------------------ what was written into the root at all
check_eq "nothing was written outside zpm's areas and the packages' places" "" \
  "$(stray_since "$ZR_BASE/before" | grep -vE '^\./(opt|tmp/hostile-|tmp/honest-ran)')"
check_eq "nothing was added to the script directory" "" \
  "$(cd "$ZR_BASE/upper" && find ./var/lib/zpm/scriptdir -newer "$ZR_BASE/before" ! -type l)"
finish
