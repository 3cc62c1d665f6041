#!/bin/bash
# Every way an update through the real zpm can fail, one package each: the old version stays
# registered with its former install record and file index, and its files are as it left them;
# the failure code is shown, and the stage area keeps what each case is meant to keep.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
source "$(dirname "$0")/txnulib.sh"
STAGE=$INV/stagearea

# update_shows NAME CODE WHAT: the run exited 0 and showed the failure with CODE.
update_shows() {
  check_eq "$3: zpm exits 0" 0 "$RC"
  check_eq "$3: the failure code is shown" "Failure updating /tmp/pkgs/$1-2.0.zpk, rc: $2
|" "$(yad_texts | tail -n 2)"
}

# The work directory of the new version is removed, or kept with its unpacked payload.
stage_removed() { check "$2: the work directory is removed" test ! -e "$ZR$STAGE/$1_x86_64_2.0"; }
stage_kept() {
  check "$2: the stage file, new and old directories stay" test -f "$ZR$STAGE/$1_x86_64_2.0.zpk" \
    -a -d "$ZR$STAGE/$1_x86_64_2.0/new" -a -d "$ZR$STAGE/$1_x86_64_2.0/old"
}

# ------------------------------------------------ unpacking fails (a signed payload with a
# file where it also has a directory)
install_v1 q1
src_v2 q1
pkgfile q1 /opt/q1/d/f f-2
pkgbuild q1 2.0 '' /tmp/pkgs/q1-base.zpk
echo clash > "$ZR/tmp/forge-clash"
forge_signed repack "$ZR/tmp/pkgs/q1-base.zpk" -o "$ZR/tmp/pkgs/q1-2.0.zpk" \
  --raw "data/opt/q1/d=$ZR/tmp/forge-clash"
yad_reset
zpm_do -U /tmp/pkgs/q1-2.0.zpk
update_shows q1 -1 "unpack"
old_kept q1 "unpack"
stage_kept q1 "unpack"
check "unpack: the failure is logged" log_has "zpm_update_zpk: Failure unpacking $STAGE/q1_x86_64_2.0.zpk"

# ------------------------------------------------ verification fails (a file no list names)
install_v1 q2
src_v2 q2
pkgbuild q2 2.0 '' /tmp/pkgs/q2-base.zpk
echo extra > "$ZR/tmp/forge-extra"
forge_signed repack "$ZR/tmp/pkgs/q2-base.zpk" -o "$ZR/tmp/pkgs/q2-2.0.zpk" \
  --raw "data/opt/q2/extra=$ZR/tmp/forge-extra"
yad_reset
zpm_do -U /tmp/pkgs/q2-2.0.zpk
update_shows q2 1 "verification"
old_kept q2 "verification"
stage_kept q2 "verification"
check "verification: the unlisted file is never installed" test ! -e "$ZR/opt/q2/extra"

# ------------------------------------------------ the pre-install script fails
install_v1 q3
src_v2 q3
pkgscript q3 00-add.sh 'echo ran > /tmp/q3-pre; exit 3'
pkgbuild q3 2.0 '' /tmp/pkgs/q3-2.0.zpk
yad_reset
zpm_do -U /tmp/pkgs/q3-2.0.zpk
update_shows q3 768 "pre-install"
old_kept q3 "pre-install"
stage_removed q3 "pre-install"
check_eq "pre-install: the script's effects stay" ran "$(content /tmp/q3-pre)"
check "pre-install: the abort is logged" log_has "Pre-Install script ended with errors, aborting update"

# ------------------------------------------------ a new file belongs to a third package, even
# in force mode
pkgsrc third
pkgfile third /opt/third/shared third-1
pkgbuild third 1.0 '' /tmp/pkgs/third-1.0.zpk
zpm_do -I /tmp/pkgs/third-1.0.zpk
install_v1 q4
src_v2 q4
pkgfile q4 /opt/third/shared q4-2
pkgbuild q4 2.0 '' /tmp/pkgs/q4-2.0.zpk
yad_reset
zpm_do -U /tmp/pkgs/q4-2.0.zpk
update_shows q4 -1 "owned file"
old_kept q4 "owned file"
stage_removed q4 "owned file"
check_eq "owned file: the third package's file is untouched" third-1 "$(content /opt/third/shared)"
check "owned file: the owner is named" \
  log_has "zpm_chk_local_update: /opt/third/shared is on disk and belongs to package third, aborting"

# ------------------------------------------------ the user aborts on an unowned file
install_v1 q5
src_v2 q5
pkgbuild q5 2.0 '' /tmp/pkgs/q5-2.0.zpk
mkdir -p "$ZR/opt/q5" && echo mine > "$ZR/opt/q5/new"
zpm_ask "0;0 abort installation" -U /tmp/pkgs/q5-2.0.zpk
check_eq "abort: zpm exits 0" 0 "$RC"
check_contains "abort: the user is asked about the file" \
  "The file /opt/q5/new already exists on the filesystem. Choose your action|" "$(yad_texts)"
check_contains "abort: the failure is shown" "Failure updating /tmp/pkgs/q5-2.0.zpk, rc: -1" \
  "$(yad_texts)"
check_eq "abort: the unowned file is untouched" mine "$(content /opt/q5/new)"
rm -f "$ZR/opt/q5/new"
old_kept q5 "abort"
stage_removed q5 "abort"

# ------------------------------------------------ a new file cannot be written (a directory
# stands where it goes)
install_v1 q6
src_v2 q6
pkgbuild q6 2.0 '' /tmp/pkgs/q6-2.0.zpk
mkdir -p "$ZR/opt/q6/new" && echo inside > "$ZR/opt/q6/new/inside"
yad_reset
zpm_do -U /tmp/pkgs/q6-2.0.zpk
update_shows q6 -1 "write"
check_eq "write: the directory in the way is untouched" inside "$(content /opt/q6/new/inside)"
rm -rf "$ZR/opt/q6/new"
old_kept q6 "write"
stage_removed q6 "write"

# ------------------------------------------------ an old file cannot be backed up (the
# pre-install script puts a directory where its backup goes); the files already replaced or
# removed come back
install_v1 q7
pkgsrc q7
pkgfile q7 /opt/q7/other other-2
pkgscript q7 00-add.sh 'mkdir -p "$ZPK_STAGE_NEW/../old/opt/q7/drop/x"'
pkgbuild q7 2.0 '' /tmp/pkgs/q7-2.0.zpk
yad_reset
zpm_do -U /tmp/pkgs/q7-2.0.zpk
update_shows q7 -1 "backup"
old_kept q7 "backup"
check "backup: the new version's file is removed again" test ! -e "$ZR/opt/q7/other"
stage_removed q7 "backup"
check "backup: the failure is logged" \
  log_has "Failure backing up previous version of /opt/q7/drop, will rollback and abort."

# ------------------------------------------------ the post-install script fails: -1, not its
# status
install_v1 q8
src_v2 q8
pkgscript q8 99-add.sh 'ls /opt/q8 > /tmp/q8-seen; exit 1'
pkgbuild q8 2.0 '' /tmp/pkgs/q8-2.0.zpk
yad_reset
zpm_do -U /tmp/pkgs/q8-2.0.zpk
update_shows q8 -1 "post-install"
check_eq "post-install: the script ran with the new files in place" "keep
new" "$(content /tmp/q8-seen)"
old_kept q8 "post-install"
stage_removed q8 "post-install"

# ------------------------------------------------ registration fails (a directory stands where
# the new file index goes); the new entry is removed
install_v1 q9
src_v2 q9
pkgscript q9 99-add.sh 'mkdir -p /var/lib/zpm/fileindex/.q9.new/x'
pkgbuild q9 2.0 '' /tmp/pkgs/q9-2.0.zpk
yad_reset
zpm_do -U /tmp/pkgs/q9-2.0.zpk
update_shows q9 -1 "registration"
rm -rf "$ZR$INV/fileindex/.q9.new"
old_kept q9 "registration"
stage_removed q9 "registration"

# ------------------------------------------------ after all that, a good update still works
src_v2 q9
pkgbuild q9 2.0 '' /tmp/pkgs/q9-2.0.zpk
zpm_do -U /tmp/pkgs/q9-2.0.zpk
check_eq "a later good update succeeds" "0 2.0 keep-2 new-2" \
  "$RC $(desc_version q9) $(content /opt/q9/keep) $(content /opt/q9/new)"
finish
