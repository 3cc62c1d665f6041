#!/bin/bash
# Updates through the real zpm in a throwaway root: what a successful update writes (files,
# backups, the switch of inventory entries, install records of successive updates),
# dependencies of an update, ldconfig, update all and the dry run with nothing to update.
# The ways an update fails are in test_txn_update_failures.sh.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
source "$(dirname "$0")/txnulib.sh"
STAGE=$INV/stagearea

# ------------------------------------------------ a successful update, then a second one
pkgsrc p
pkgfile p /opt/p/keep keep-1
pkgfile p /opt/p/drop drop-1 0640
pkgfile p /opt/p/gone gone-1
pkgbuild p 1.0 '' /tmp/pkgs/p-1.0.zpk
zpm_do -I /tmp/pkgs/p-1.0.zpk
check "p 1.0 installs" inv_has p
t0=$(inst_values p ezpkInstallTime)
rm -f "$ZR/opt/p/gone"
save_entry p

src_v2 p
pkgscript p 00-add.sh 'echo "$ZPM_MODE|$ZPK_STAGE_NEW|$(pwd)|$PATH" > /tmp/p-pre'
pkgscript p 99-add.sh '{ echo "$ZPM_MODE|$ZPM_ZPKDIR|$ZPK_STAGE_NEW"
  cat "$ZPK_STAGE_NEW/../old/index.txt"; cat "$ZPK_STAGE_NEW/../old/opt/p/drop"; echo
  ls /opt/p; } > /tmp/p-post'
pkgbuild p 2.0 '' /tmp/pkgs/p-2.0.zpk
yad_reset
zpm_do -U /tmp/pkgs/p-2.0.zpk
check_eq "update exits 0" 0 "$RC"
check_eq "only the result is shown" "/tmp/pkgs/p-2.0.zpk successfully updated
|" "$(yad_texts)"
new_dir=$STAGE/p_x86_64_2.0/new
check_eq "the pre-install script runs in update mode from the script directory" \
  "UPDATE|$new_dir|$INV/scriptdir|$INV/scriptdir" "$(content /tmp/p-pre)"
check_eq "the post-install script sees the stage directory as ZPM_ZPKDIR; the replaced and the \
dropped file are backed up and listed; the file deleted by hand is not; the dropped file is gone" \
  "UPDATE|$new_dir|$new_dir
/opt/p/keep
/opt/p/drop
drop-1
keep
new" "$(content /tmp/p-post)"
SD=$INV/scriptdir
check "the pre-install command line is logged" log_has "zpm_update_zpk: cmdline: cd $SD && \
PATH=$SD ZPK_STAGE_NEW=$new_dir ZPM_MODE=UPDATE $SD/ash $new_dir/init/00-add.sh"
check "the post-install command line is logged" log_has "zpm_update_zpk: cmdline: cd $SD && \
PATH=$SD ZPM_MODE=UPDATE ZPM_ZPKDIR=$new_dir ZPK_STAGE_NEW=$new_dir $SD/ash $new_dir/init/99-add.sh"
check_eq "the shared file is overwritten" keep-2 "$(content /opt/p/keep)"
check_eq "the new file is written" new-2 "$(content /opt/p/new)"
check "the dropped file is removed" test ! -e "$ZR/opt/p/drop"
check "the file deleted by hand stays away" test ! -e "$ZR/opt/p/gone"
check_eq "the new index lists the new version's files only" "/opt/p/keep
/opt/p/new" "$(sort "$ZR$INV/fileindex/p")"
check_eq "version 2.0 is registered" 2.0 "$(desc_version p)"
check "the new entry keeps the new scripts and hash lists" \
  test -f "$ZR$INV/installed/p/init/99-add.sh" -a -f "$ZR$INV/installed/p/hash/data.txt"
check_eq "the previous entry is kept as .p.old" 1.0 "$(desc_version p .p.old)"
check_eq "the previous index is kept as .p.old" "$(cat "$ZR/tmp/saved/p.index")" \
  "$(cat "$ZR$INV/fileindex/.p.old" 2>/dev/null)"
check "no .p.new is left" test ! -e "$ZR$INV/installed/.p.new" -a ! -e "$ZR$INV/fileindex/.p.new"
check_eq "the install time survives" "$t0" "$(inst_values p ezpkInstallTime)"
check_eq "the install type survives" X "$(inst_values p ezpkInstallType)"
t1=$(inst_values p ezpkUpdateTime)
check_eq "one update time" 1 "$(grep -c . <<<"$t1")"
check "the update time is not before the install" test "${t1:-0}" -ge "${t0:-1}"
check_eq "the install log records the update" \
  "updated p_x86_64_1.0 to p_x86_64_2.0 as requested by user" "$(install_events | tail -n 1)"
check "the working directory is removed" test ! -e "$ZR$STAGE/p_x86_64_2.0"
check "the package file stays staged" test -f "$ZR$STAGE/p_x86_64_2.0.zpk"
check_eq "a file deleted by hand is not taken for deletion" 0 "$(logcount '/opt/p/gone to delete')"
check_eq "nor warned about" 0 "$(grep -c 'WARNING.*/opt/p/gone' "$ZR/var/log/zpm.log")"
check_eq "nothing failed to be removed" 0 "$(logcount 'Failed to remove old file')"

cp "$ZR$INV/fileindex/p" "$ZR/tmp/saved/p2.index"
pkgsrc p
pkgfile p /opt/p/keep keep-3
pkgbuild p 3.0 '' /tmp/pkgs/p-3.0.zpk
zpm_do -U /tmp/pkgs/p-3.0.zpk
check_eq "second update exits 0" 0 "$RC"
check_eq "version 3.0 is registered" 3.0 "$(desc_version p)"
check_eq ".p.old now holds the first new version" 2.0 "$(desc_version p .p.old)"
check_eq ".p.old index is the first new version's" "$(cat "$ZR/tmp/saved/p2.index")" \
  "$(cat "$ZR$INV/fileindex/.p.old" 2>/dev/null)"
check_eq "the install time still survives" "$t0" "$(inst_values p ezpkInstallTime)"
times=$(inst_values p ezpkUpdateTime)
check_eq "both update times are listed" 2 "$(grep -c . <<<"$times")"
check_eq "the first one unchanged and first" "$t1" "$(head -n 1 <<<"$times")"
check_eq "only the shared file is left" keep "$(ls "$ZR/opt/p")"
check_eq "with the third content" keep-3 "$(content /opt/p/keep)"
check_eq "the install record is written in its order" \
  "ezpkInstallTime ezpkInstallType ezpkUpdateTime ezpkUpdateTime" \
  "$(cut -d: -f1 "$ZR$INV/installed/p/inst.txt" | tr '\n' ' ' | sed 's/ $//')"

# ------------------------------------------------ dependencies: install type and head survive
pkgsrc libq
pkgfile libq /opt/libq/a libq-1
pkgbuild libq 1.0 '' /tmp/deps/libq-1.0.zpk
pkgsrc app
pkgfile app /opt/app/bin app-1
pkgbuild app 1.0 libq /tmp/pkgs/app-1.0.zpk
zpm_do -o incdir=/tmp/deps -I /tmp/pkgs/app-1.0.zpk
check_eq "libq came as a dependency of app" "D app" \
  "$(inst_values libq ezpkInstallType) $(inst_values libq ezpkInstallHead)"
pkgsrc libq
pkgfile libq /opt/libq/a libq-2
pkgbuild libq 2.0 '' /tmp/pkgs/libq-2.0.zpk
zpm_do -U /tmp/pkgs/libq-2.0.zpk
check_eq "libq updates" "0 2.0 libq-2" "$RC $(desc_version libq) $(content /opt/libq/a)"
check_eq "the update keeps type and head" "D app" \
  "$(inst_values libq ezpkInstallType) $(inst_values libq ezpkInstallHead)"
check_eq "inst.txt order with a head" \
  "ezpkInstallTime ezpkInstallType ezpkInstallHead ezpkUpdateTime" \
  "$(cut -d: -f1 "$ZR$INV/installed/libq/inst.txt" | tr '\n' ' ' | sed 's/ $//')"

pkgsrc newdep
pkgfile newdep /opt/newdep/f newdep-1
pkgbuild newdep 1.0 '' /tmp/deps/newdep-1.0.zpk
pkgsrc app
pkgfile app /opt/app/bin app-2
pkgbuild app 2.0 libq,newdep /tmp/pkgs/app-2.0.zpk
zpm_do -o incdir=/tmp/deps -U /tmp/pkgs/app-2.0.zpk
check_eq "app updates" "0 2.0 app-2" "$RC $(desc_version app) $(content /opt/app/bin)"
check "the new dependency is installed" inv_has newdep
check_eq "as a dependency of app" "D app" \
  "$(inst_values newdep ezpkInstallType) $(inst_values newdep ezpkInstallHead)"
check_eq "with its file" newdep-1 "$(content /opt/newdep/f)"
check_eq "the dependency is logged before the update" \
  "installed newdep_x86_64_1.0 as dependency of app
updated app_x86_64_1.0 to app_x86_64_2.0 as requested by user" "$(install_events | tail -n 2)"

# ------------------------------------------------ a new version without data files
pkgsrc nd
pkgfile nd /opt/nd/a nd-1
pkgbuild nd 1.0 '' /tmp/pkgs/nd-1.0.zpk
zpm_do -I /tmp/pkgs/nd-1.0.zpk
pkgsrc nd
pkgscript nd 99-add.sh 'exit 0'
pkgbuild nd 2.0 '' /tmp/pkgs/nd-2.0.zpk
zpm_do -U /tmp/pkgs/nd-2.0.zpk
check_eq "nd updates to a version without data" "0 2.0" "$RC $(desc_version nd)"
check "its old file is removed" test ! -e "$ZR/opt/nd/a"
check "it has no file index any more" test ! -e "$ZR$INV/fileindex/nd"
check_eq "the old index is kept as .nd.old" /opt/nd/a "$(cat "$ZR$INV/fileindex/.nd.old" 2>/dev/null)"
check "no data hash list is registered" test ! -e "$ZR$INV/installed/nd/hash/data.txt"

# ------------------------------------------------ shared libraries: ldconfig after the switch
cat > "$ZR/tmp/ldconfig" <<'EOF'
#!/bin/sh
sed -n 's/^ezpkVersion: //p' /var/lib/zpm/installed/so/desc.txt >> /tmp/ldconfig.calls
EOF
install -m 0755 "$ZR/tmp/ldconfig" "$ZR/sbin/ldconfig"
pkgsrc so
pkgfile so /usr/lib/libzso.so.1 lib-1
pkgbuild so 1.0 '' /tmp/pkgs/so-1.0.zpk
zpm_do -I /tmp/pkgs/so-1.0.zpk
pkgsrc so
pkgfile so /usr/lib/libzso.so.2 lib-2
pkgbuild so 2.0 '' /tmp/pkgs/so-2.0.zpk
zpm_do -U /tmp/pkgs/so-2.0.zpk
check_eq "so updates" "0 2.0" "$RC $(desc_version so)"
check_eq "ldconfig ran once per change, the update's after the switch" "1.0
2.0" "$(content /tmp/ldconfig.calls)"
pkgsrc so
pkgfile so /usr/lib/libzso.so lib-3
pkgbuild so 3.0 '' /tmp/pkgs/so-3.0.zpk
zpm_do -U /tmp/pkgs/so-3.0.zpk
check_eq "a library without a version suffix does not run ldconfig" "0 3.0 2" \
  "$RC $(desc_version so) $(grep -c . "$ZR/tmp/ldconfig.calls")"

# ------------------------------------------------ the user leaves an unowned file alone
pkgsrc lv
pkgfile lv /opt/lv/a lv-1
pkgbuild lv 1.0 '' /tmp/pkgs/lv-1.0.zpk
zpm_do -I /tmp/pkgs/lv-1.0.zpk
pkgsrc lv
pkgfile lv /opt/lv/a lv-2
pkgfile lv /opt/lv/mine lv-2
pkgbuild lv 2.0 '' /tmp/pkgs/lv-2.0.zpk
echo mine > "$ZR/opt/lv/mine"
zpm_ask "0;0 leave existing file" -U /tmp/pkgs/lv-2.0.zpk
check_eq "leave: the update goes on" "0 2.0 lv-2" "$RC $(desc_version lv) $(content /opt/lv/a)"
check_contains "leave: the user was asked" \
  "The file /opt/lv/mine already exists on the filesystem. Choose your action|" "$(yad_texts)"
check_eq "leave: the file stays as it was" mine "$(content /opt/lv/mine)"
check_eq "leave: and is not in the new index" /opt/lv/a "$(fileindex lv)"

# ------------------------------------------------ a package that is not installed
pkgsrc ni
pkgfile ni /opt/ni/a ni-2
pkgbuild ni 2.0 '' /tmp/pkgs/ni-2.0.zpk
yad_reset
zpm_do -U /tmp/pkgs/ni-2.0.zpk
check_eq "updating a package that is not installed exits 0" 0 "$RC"
check "and installs nothing" test ! -e "$ZR$INV/installed/ni" -a ! -e "$ZR/opt/ni"
check "nothing is staged for it" test ! -e "$ZR$STAGE/ni_x86_64_2.0.zpk"
check "no update is reported" log_has "no update for"

# ------------------------------------------------ update all, from the catalogue
for n in u1 u2; do
  pkgsrc $n
  pkgfile $n /opt/$n/f "$n-1"
  pkgbuild $n 1.0 '' /tmp/pkgs/$n-1.0.zpk
  zpm_do -I /tmp/pkgs/$n-1.0.zpk
  pkgsrc $n
  pkgfile $n /opt/$n/f "$n-2"
  pkgbuild $n 2.0 '' "$REPO/$n-2.0.zpk"
done
yad_reset
zpm_do -r -U
check_eq "update all exits 0" 0 "$RC"
for n in u1 u2; do
  check_eq "$n is updated from the catalogue" "2.0 $n-2" "$(desc_version $n) $(content /opt/$n/f)"
  check_eq "the success of $n is logged" 1 "$(logcount "$n successfully updated")"
done
check_not_contains "update all shows no success dialog" "successfully updated" "$(yad_texts)"
check_eq "p stays as it was" 3.0 "$(desc_version p)"

yad_reset
zpm_run -r -U -n
check_eq "a dry run with everything current exits 0" 0 "$RC"
check_eq "and says so" "There are no updates available
|" "$(yad_texts)"
finish
