#!/bin/bash
# The query-side modes (-L, -F, -C, -Q, -S, -R, -P) of the real zpm in a throwaway root:
# installed packages laid out by hand in the inventory, package files made with zpk-build,
# the catalogue served by the real zpc-dirs.so, dialogs answered by the fake yad.
source "$(dirname "$0")/lib.sh"

INV=/var/lib/zpm

# A yad in front of the fake one that keeps a copy of every file shown with --filename
# (the list writer removes its temporary file once it has been shown).
wrap_yad() {
  mv "$ZR/usr/bin/yad" "$ZR/usr/bin/yad.fake"
  cat > "$ZR/usr/bin/yad" <<'EOF'
#!/bin/bash
d=/var/tmp/fake-yad
for a in "$@"; do
  case "$a" in --filename=*)
    n=$(( $(cat "$d/count" 2>/dev/null || echo 0) + 1 ))
    cp "${a#--filename=}" "$d/$n.file" ;;
  esac
done
exec /usr/bin/yad.fake "$@"
EOF
  chmod 0755 "$ZR/usr/bin/yad"
}

# installed NAME VERSION ARCH [extra desc.txt lines] -- writes desc.txt and inst.txt
installed() {
  local name=$1 version=$2 arch=$3; shift 3
  local d=$ZR$INV/installed/$name
  mkdir -p "$d"
  { printf 'ezpmVersion: 1.0\nezpkName: %s\nezpkVersion: %s\nezpkArchitecture: %s\n' \
      "$name" "$version" "$arch"
    local l; for l in "$@"; do printf '%s\n' "$l"; done; } > "$d/desc.txt"
  printf 'ezpkInstallTime: 86400\nezpkInstallType: X\n' > "$d/inst.txt"
}

fileindex() { local name=$1; shift; printf '%s\n' "$@" > "$ZR$INV/fileindex/$name"; }

yad_file() { cat "$FY/$1.file" 2>/dev/null; }
# The value after a form field's label in call N, or "<none>".
yad_field() {
  awk -v want="--field=$2:RO" 'found { print; exit } $0 == want { found = 1 }
    END { if (!found) print "<none>" }' "$FY/$1.args"
}
# Exact arguments (line ends included), from the NUL-separated record.
yad_has_arg() {
  [ -f "$FY/$1.args0" ] && awk -v want="$2" 'BEGIN { RS = "\0" } $0 == want { f = 1 } END { exit !f }' "$FY/$1.args0"
}
# The message of a --text dialog in call N, exactly, followed by "|".
yad_text() {
  awk 'BEGIN { RS = "\0" } f { printf "%s|", $0; exit } $0 == "--text" { f = 1 }' "$FY/$1.args0" 2>/dev/null
}

table_row() { printf '%-25s %-15s %-35s\n' "$1" "$2" "$3"; }
HEADING="$(table_row 'Name (with variant)' Version Description)
$(table_row ------------------- ------- -----------)"

populate() {
  installed x 1.0 any
  installed libfoo 1.2 x86_64 'ezpkDescription: Foo library' 'ezpkDependency: x'
  installed libbar 0.9 x86_64 'ezpkVariant: dev' 'ezpkCreator: someone'
  installed zlib 1.3 x86_64 'ezpkDescription: Compression'
  fileindex libfoo /usr/lib/libfoo.so /usr/share/shared.txt
  printf '/usr/lib/libbar.so\n/usr/share/shared.txt' > "$ZR$INV/fileindex/libbar" # no final newline
  fileindex zlib /usr/lib/libz.so
}

setup_root
wrap_yad
populate

# ---------------------------------------------------------------- list (-L)
yad_reset; zpm_run -L
check_eq "-L exits 0" 0 "$RC"
check "-L shows a dialog table" yad_has_arg 1 --list
check "-L table title" yad_has_arg 1 "--text=Found 4 matching installed packages
Select an entry by either double clicking it or else a single click and the press ok"
check_eq "-L lists every package sorted" \
  "$(printf '1\nlibbar\ndev\n0.9\n\n2\nlibfoo\n\n1.2\nFoo library\n3\nx\n\n1.0\n\n4\nzlib\n\n1.3\nCompression')" \
  "$(yad_stdin 1)"

yad_reset; zpm_run -L 'lib*' x
check_eq "-L pattern, second name ignored" \
  "$(printf '1\nlibbar\ndev\n0.9\n\n2\nlibfoo\n\n1.2\nFoo library')" "$(yad_stdin 1)"

yad_reset; zpm_run -v -L 'libf*'
check_eq "-L -v adds the dependency column" "$(printf '1\nlibfoo\n\n1.2\nFoo library\nx')" \
  "$(yad_stdin 1)"

for form in csv ldif xml text-is-not-text; do
  yad_reset; zpm_run -L -o outform=$form 'lib*'
  case $form in
    text-is-not-text)
      check "-L -o outform=$form falls back to the dialog table" yad_has_arg 1 --list ;;
    *)
      check_eq "-L -o outform=$form exits 0" 0 "$RC"
      check_eq "-L -o outform=$form shows the text table" \
        "$HEADING
$(table_row libbar_dev 0.9 '')
$(table_row libfoo 1.2 'Foo library')" "$(yad_file 1)"
      check "-L -o outform=$form leaves no temporary file" \
        test -z "$(ls "$ZR"/tmp/zpi_list* 2>/dev/null)" ;;
  esac
done

yad_reset; zpm_run -L 'nomatch*'
check_eq "-L without a match shows nothing" "0 0" "$RC $(yad_calls)"

# ----------------------------------------------------------- file owner (-F)
yad_reset; zpm_run -F /usr/lib/libfoo.so
check_eq "-F found exits 0" 0 "$RC"
check_eq "-F shows the owner in a timed message" $'libfoo\n|' "$(yad_text 1)"
check "-F message closes itself" yad_has_arg 1 --timeout=3

yad_reset; zpm_run -F /usr/share/shared.txt
owner=$(yad_text 1)
check "-F with two owners names one of them" test "$owner" = $'libfoo\n|' -o "$owner" = $'libbar\n|' 

yad_reset; zpm_run -F /usr/nope
check_eq "-F not found exits 1" 1 "$RC"
check_contains "-F not found is logged" "File /usr/nope was not found in any registered package" "$ERR"
check_eq "-F not found shows no dialog" 0 "$(yad_calls)"

zpm_run -F
check_eq "-F without a name exits 1" 1 "$RC"
check_contains "-F without a name" "No file specified" "$ERR"

# ------------------------------------------------------------- contents (-C)
zpm_run -C libbar
check_eq "-C of an installed package" "$(printf '/usr/lib/libbar.so\n/usr/share/shared.txt')" "$OUT"
check_eq "-C exits 0" 0 "$RC"
zpm_run -C nothere
check_eq "-C of a package not installed prints nothing" "0:" "$RC:$OUT"
zpm_run -C
check_eq "-C without a name exits 1" 1 "$RC"
check_contains "-C without a name" "No package specified" "$ERR"

# ---------------------------------------------------------------- query (-Q)
yad_reset; zpm_run -Q -o outform=csv x
check_eq "-Q csv of a bare package" "x::1.0:any:::" "$(yad_stdin 1)"
check_eq "-Q csv exits 0" 0 "$RC"

yad_reset; zpm_run -Q libfoo
check "-Q defaults to the form" yad_has_arg 1 --form
check_eq "-Q form name row" libfoo "$(yad_field 1 Name)"
check_eq "-Q form dependency row" x "$(yad_field 1 Dependency)"
check_eq "-Q form installed at" "1970-01-02 00:00:00" "$(yad_field 1 'Installed at')"
check_eq "-Q form installed as" "Explicit request" "$(yad_field 1 'Installed as')"
check_eq "-Q of an installed package has no file size" "<none>" "$(yad_field 1 'File size (in bytes)')"

yad_reset; zpm_run -Q -o outform=ldif libbar
check_eq "-Q ldif entry" "dn: ezpkUid=libbar_dev_x86_64_0.9,dc=zorvek,dc=org
ezpkUid: libbar_dev_x86_64_0.9
ezpkName: libbar
ezpkVariant: dev
ezpkVersion: 0.9
ezpkArchitecture: x86_64
ezpkCreator: someone
ezpkDataSize: 0
ezpkFileSize: 0
ezpkInstallTime: 1970-01-02 00:00:00
ezpkInstallType: X" "$(yad_stdin 1)"

yad_reset; zpm_run -Q -o outform=xml libbar
check_eq "-Q xml shows nothing" "0 0" "$RC $(yad_calls)"
yad_reset; zpm_run -Q nothere
check_eq "-Q of a package not installed shows nothing" "0 0" "$RC $(yad_calls)"
zpm_run -Q
check_eq "-Q without a name exits 1" 1 "$RC"
check_contains "-Q without a name" "No package specified" "$ERR"

# Package files (made with zpk-build, unsigned).
if zroot_run test -x /usr/bin/zpk-build; then
  mkdir -p "$ZR/tmp/src/data/usr/bin" "$ZR/tmp/src/info"
  echo hello > "$ZR/tmp/src/data/usr/bin/hello"
  printf 'ezpmVersion: 1.0\nezpkName: libfoo\nezpkVersion: 2.0\nezpkArchitecture: x86_64\nezpkDescription: From a file\n' \
    > "$ZR/tmp/src/info/desc.txt"
  zroot_run zpk-build --unsigned -o /tmp/libfoo-2.0.zpk /tmp/src >/dev/null
  if [ -f "$ZR/tmp/libfoo-2.0.zpk" ]; then
    # A query of a file opens no inventory: it works even when the inventory cannot open.
    cp "$ZR/etc/zpm.conf" "$ZR/etc/zpm.conf.keep"; sed -i '/^arch_name=/d' "$ZR/etc/zpm.conf"
    yad_reset; zpm_run -Q -v -o verify=false /tmp/libfoo-2.0.zpk
    mv "$ZR/etc/zpm.conf.keep" "$ZR/etc/zpm.conf"
    check_eq "-Q -v -o verify=false prints Verify: 0" "Verify: 0" "$OUT"
    check_eq "-Q of a package file reads the file" 2.0 "$(yad_field 1 Version)"
    check_eq "-Q of a package file has no signature row" "<none>" "$(yad_field 1 Signature)"
    check "-Q of a package file shows its file size" test "$(yad_field 1 'File size (in bytes)')" -gt 0
    yad_reset; zpm_run -Q -v /tmp/libfoo-2.0.zpk
    check_eq "-Q -v of an unsigned file" "Verify: -1" "$OUT"
    check_eq "-Q form signature row" "Missing signature" "$(yad_field 1 Signature)"
    yad_reset; zpm_run -Q -o outform=csv /tmp/libfoo-2.0.zpk
    check_eq "-Q csv of a package file" "libfoo::2.0:x86_64:::From a file" "$(yad_stdin 1)"
    zpm_run -C /tmp/libfoo-2.0.zpk
    check_contains "-C of a package file lists its files" "usr/bin/hello" "$OUT"
    check_eq "-C of a package file exits 0" 0 "$RC"
    mkdir -p "$ZR$INV/repo"
    cp "$ZR/tmp/libfoo-2.0.zpk" "$ZR$INV/repo/"
    zroot_run zpk-build --unsigned -n tool -V gtk -o /var/lib/zpm/repo/tool.zpk /tmp/src >/dev/null
  else
    fail "zpk-build made a package file"
  fi
else
  fail "zpk-build is installed in the root"
fi

# --------------------------------------------------------------- search (-S)
if [ -f "$ZR/usr/lib/zpm/zpc-dirs.so" ] && [ -f "$ZR$INV/repo/tool.zpk" ]; then
  yad_reset; zpm_run -S -r -o outform=csv
  check_eq "-S csv prints nothing after the list" "0:" "$RC:$OUT"
  check_eq "-S csv text table" "$HEADING
$(table_row libfoo 2.0 'From a file')
$(table_row tool_gtk 2.0 'From a file')" "$(yad_file 1)"

  yad_answers "0 2|"; zpm_run -S
  check_eq "-S prints the picked row with its variant" "tool_gtk" "$OUT"
  check "-S table title" yad_has_arg 1 "--text=Found 2 matching packages in catalogue
Select an entry by either double clicking it or else a single click and the press ok"
  yad_answers "0 1|"; zpm_run -S 'lib*'
  check_eq "-S prints the picked row without a variant" "libfoo" "$OUT"
  yad_answers "0 7|"; zpm_run -S
  check_eq "-S ignores a picked ID outside the list" "0:" "$RC:$OUT"
  yad_answers "1"; zpm_run -S
  check_eq "-S with the table closed prints nothing" "0:" "$RC:$OUT"
  yad_reset; zpm_run -S -o variant=gtk
  check_eq "-S variant option narrows the search" "$(printf '1\ntool\ngtk\n2.0\nFrom a file')" \
    "$(yad_stdin 1)"

  # A corrupt catalogue index is rebuilt; the search goes on.
  head -c 300 /dev/urandom > "$ZR$INV/repo/index.ldif"
  yad_answers "0 1|"; zpm_run -S 'tool'
  check_eq "-S over a corrupt index" "0:tool_gtk" "$RC:$OUT"

  yad_reset; zpm_run -R
  check_eq "-R exits 0" 0 "$RC"
  check_eq "-R tells the user" $'Ok, refreshed the package catalogue\n|' "$(yad_text 1)"
else
  fail "zpc-dirs.so and the repository packages are in place"
fi

# ------------------------------------------------------- pin (-P), plug-ins
before=$(cd "$ZR$INV" && find . | sort)
yad_reset; zpm_run -P anything
check_eq "-P exits 0 and shows nothing" "0 0" "$RC $(yad_calls)"
check_eq "-P changes nothing" "$before" "$(cd "$ZR$INV" && find . | sort)"

cp "$ZR/etc/zpm.conf" "$ZR/etc/zpm.conf.good"
echo "zpc_backend=/opt/x/missing.so" >> "$ZR/etc/zpm.conf"
zpm_run -L
check_eq "missing plug-in exits 2" 2 "$RC"
check_contains "missing plug-in is named" "Failed to load catalogue backend missing.so!" "$ERR"
check "the plug-in missing a symbol is installed" test -f "$ZR/usr/lib/zpm/zpc_test_nosym.so"
for p in "$ZR"/usr/lib/zpm/zpc_test_nosym*.so; do
  [ -f "$p" ] || continue
  cp "$ZR/etc/zpm.conf.good" "$ZR/etc/zpm.conf"
  echo "zpc_backend=$(basename "$p")" >> "$ZR/etc/zpm.conf"
  zpm_run -Q x
  check_eq "broken plug-in $(basename "$p") exits 2" 2 "$RC"
done
printf 'garbage' > "$ZR/usr/lib/zpm/zpc-broken.so"
cp "$ZR/etc/zpm.conf.good" "$ZR/etc/zpm.conf"
echo "zpc_backend=zpc-broken.so" >> "$ZR/etc/zpm.conf"
zpm_run -Q x
check_eq "a plug-in that is no shared object exits 2" 2 "$RC"

if [ -f "$ZR/usr/lib/zpm/zpc_test_fail.so" ]; then
  cp "$ZR/etc/zpm.conf.good" "$ZR/etc/zpm.conf"
  printf 'zpc_backend=zpc_test_fail.so\nzpc_test_mode=refresh\nzpc_test_pkgs=a,b/v\n' >> "$ZR/etc/zpm.conf"
  yad_reset; zpm_run -R
  check_eq "-R with a failing refresh still exits 0" 0 "$RC"
  check_eq "-R failing refresh message" $'Failed to refresh the catalogue\n|' "$(yad_text 1)"
  yad_reset; zpm_run -S -r -o outform=csv
  check_contains "-S -r with a failing refresh tells the user" "Failed to refresh the catalogue" \
    "$(yad_args 1)"
  check_eq "-S goes on after a failed refresh" 0 "$RC"
  cp "$ZR/etc/zpm.conf.good" "$ZR/etc/zpm.conf"
  printf 'zpc_backend=zpc_test_fail.so\nzpc_test_mode=connect\n' >> "$ZR/etc/zpm.conf"
  yad_reset; zpm_run -R
  check_eq "-R without a connection exits 1" 1 "$RC"
  check "-R connection failure waits for OK" test "$(yad_args 1 | grep -c -- --timeout)" = 0
  zpm_run -S
  check_eq "-S without a connection exits 1" 1 "$RC"
  check_contains "-S without a connection" "Failed to connect to catalogue" "$ERR"
else
  fail "zpc_test_fail.so is installed in the root"
fi
cp "$ZR/etc/zpm.conf.good" "$ZR/etc/zpm.conf"

# ------------------------------------------------------ inventory and the log
sed -i '/^arch_name=/d' "$ZR/etc/zpm.conf"
zpm_run -L
check_eq "inventory that cannot be opened exits 1" 1 "$RC"
check_contains "inventory failure message" "Failed to open local package inventory" "$ERR"
cp "$ZR/etc/zpm.conf.good" "$ZR/etc/zpm.conf"

sed -i 's/^zpm_loglevel=.*/zpm_loglevel=15/' "$ZR/etc/zpm.conf"
rm -f "$ZR/var/log/zpm.log"
yad_reset; zpm_run -L
check "root run writes start-up debug lines to /var/log/zpm.log" \
  grep -qE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \[DEBUG\] Running in interactive mode$' \
  "$ZR/var/log/zpm.log"
check "the log holds the list writer's lines" grep -q '\[DEBUG\] Writing list to ui$' "$ZR/var/log/zpm.log"
cp "$ZR/etc/zpm.conf.good" "$ZR/etc/zpm.conf"

# ------------------------------------------------------------------ bad input
d=$ZR$INV/installed
mkdir -p "$d/trunc" "$d/binary" "$d/noversion" "$d/badinst" "$d/noinst" "$d/bininst"
printf 'ezpmVersion: 1.0\nezpkName: tru' > "$d/trunc/desc.txt"
printf 'ezpkInstallTime: 1\nezpkInstallType: X\n' > "$d/trunc/inst.txt"
head -c 4000 /dev/urandom > "$d/binary/desc.txt"
cp "$d/trunc/inst.txt" "$d/binary/inst.txt"
printf 'ezpmVersion: 1.0\nezpkName: noversion\nezpkArchitecture: any\n' > "$d/noversion/desc.txt"
cp "$d/trunc/inst.txt" "$d/noversion/inst.txt"
printf 'ezpmVersion: 1.0\nezpkName: badinst\nezpkVersion: 1\nezpkArchitecture: any\n' > "$d/badinst/desc.txt"
printf 'ezpkInstallType: D\n' > "$d/badinst/inst.txt"
cp "$d/badinst/desc.txt" "$d/noinst/desc.txt"
cp "$d/badinst/desc.txt" "$d/bininst/desc.txt"
head -c 4000 /dev/urandom > "$d/bininst/inst.txt"
echo "not a directory" > "$d/stray-file"
mkdir -p "$d/.libfoo.new" && cp "$d/libfoo/"*.txt "$d/.libfoo.new/"

yad_reset; zpm_run -L
check_eq "broken entries are skipped by -L" 0 "$RC"
check_eq "-L shows only the readable packages" "libbar libfoo x zlib" \
  "$(yad_stdin 1 | awk 'NR % 5 == 2' | tr '\n' ' ' | sed 's/ $//')"
for p in trunc binary noversion badinst noinst bininst; do
  yad_reset; zpm_run -Q "$p"
  check_eq "-Q of broken $p shows nothing" "0 0" "$RC $(yad_calls)"
done

long=$(head -c 5000 /dev/zero | tr '\0' a)
installed longidx 1 any
printf '/%s\n/usr/bin/after\n' "$long" > "$ZR$INV/fileindex/longidx"
zpm_run -C longidx
check_eq "-C with a line over 4096 characters exits 0" 0 "$RC"
check_contains "-C goes on after the long line" "/usr/bin/after" "$OUT"
yad_reset; zpm_run -F /usr/bin/after
check_eq "-F finds a file after a long line" $'0 longidx\n|' "$RC $(yad_text 1)"

finish
