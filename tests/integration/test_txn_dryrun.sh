#!/bin/bash
# Planning through the real zpm in a throwaway root: dry runs of install,
# update and delete (the exit status is the number of actions), the walk, the
# summary before the question, and the inventory lock.  Package files are made
# with zpk-build and served by the real zpc-dirs.so; dialogs go to the fake yad.
source "$(dirname "$0")/lib.sh"

INV=/var/lib/zpm
REPO=$INV/repo

setup_root
if ! zroot_run test -x /usr/bin/zpk-build || [ ! -f "$ZR/usr/lib/zpm/zpc-dirs.so" ]; then
  fail "zpk-build and zpc-dirs.so are built"
  finish
fi

# mkpkg NAME VERSION DEPS [ARCH]: a package file in the repository.
mkpkg() {
  local src=/tmp/src-$1-$2
  mkdir -p "$ZR$src/info" "$ZR$src/data/usr/share/$1"
  printf 'ezpmVersion: 1.0\nezpkName: %s\n' "$1" > "$ZR$src/info/desc.txt"
  head -c 3000 /dev/zero > "$ZR$src/data/usr/share/$1/blob"
  zroot_run zpk-build -u -n "$1" -v "$2" -d "$3" -a "${4:-x86_64}" -o "$REPO/$1-$2.zpk" "$src" \
    >/dev/null 2>&1 || fail "zpk-build $1 $2"
}

# installed NAME VERSION [TYPE HEAD] [DEPS...]: an inventory entry laid out by hand.
installed() {
  local name=$1 version=$2 type=${3:-X} head=${4:-}; shift 4 2>/dev/null || shift $#
  local d=$ZR$INV/installed/$name
  mkdir -p "$d"
  { printf 'ezpmVersion: 1.0\nezpkName: %s\nezpkVersion: %s\nezpkArchitecture: x86_64\n' \
      "$name" "$version"
    local dep; for dep in "$@"; do printf 'ezpkDependency: %s\n' "$dep"; done; } > "$d/desc.txt"
  { printf 'ezpkInstallTime: 86400\nezpkInstallType: %s\n' "$type"
    [ -n "$head" ] && printf 'ezpkInstallHead: %s\n' "$head"; } > "$d/inst.txt"
}

# The n-th call that had --list, or --text-info, and what it read.
find_call() {
  local want=$1 n
  for ((n = 1; n <= $(yad_calls); n++)); do
    grep -qx -- "$want" "$FY/$n.args" && { echo "$n"; return; }
  done
  echo 0
}
yad_text() { awk 'BEGIN { RS = "\0" } f { printf "%s", $0; exit } $0 == "--text" { f = 1 }' "$FY/$1.args0"; }

mkdir -p "$ZR$REPO"
mkpkg a 1.0 d
mkpkg b 1.0 d
mkpkg d 1.0 ''
mkpkg x 1.0 y
mkpkg y 2.0 ''
mkpkg m 1.0 '' mips
mkpkg needm 1.0 m

# Install dry run of two packages sharing a dependency.
yad_reset
zpm_run -I -n a b
check_eq "zpm -I -n a b exits with the number of entries" 3 "$RC"
n=$(find_call --list)
rows=$(yad_stdin "$n")
check_eq "the dependency is listed once" 1 "$(grep -cx d <<<"$rows")"
check_eq "a is listed once" 1 "$(grep -cx a <<<"$rows")"
check_eq "b is listed once" 1 "$(grep -cx b <<<"$rows")"
check "the list is headed" grep -q "The following packages would be installed" "$FY/$n.args"
check_eq "nothing was installed" "" "$(ls "$ZR$INV/installed")"

yad_reset
zpm_run -I -n nothere
check_eq "zpm -I -n with nothing plannable exits with 0" 0 "$RC"
check_eq "no list is shown" 0 "$(find_call --list)"
check_contains "the user is told" "nothere cannot be installed" "$(cat "$FY/calls")"

yad_reset
zpm_run -I -n needm x
check_eq "a dependency built for mips stops only its own plan" 2 "$RC"
check_contains "the catalogue offers no mips build" "Failed to resovle dependency m for needm" "$ERR"
yad_reset
zpm_run -I -n "$REPO/m-1.0.zpk"
check_eq "a package file built for mips is refused" 0 "$RC"
check_contains "the architecture is named" "Package arch mips doesn't match local arch x86_64, bye" "$ERR"

# Walk.
yad_reset
zpm_run -W -v x
check_eq "zpm -W -v x exits with 0" 0 "$RC"
walk=$(yad_stdin "$(find_call --text-info)")
check_eq "walk text" "Walking x
x_x86_64_1.0 for User is available remotely
y_x86_64_2.0 for x is available remotely" "$walk"

yad_reset
zpm_run -W nothere
check_eq "a walk that cannot be planned exits with 1" 1 "$RC"
check_eq "walk failure text" "nothere was not found in the package catalogue
nothere could not be walked" "$(yad_stdin "$(find_call --text-info)")"

# Update dry runs.
installed a 1.0 X "" d
installed d 1.0 D a
yad_reset
zpm_run -U -n
check_eq "zpm -U -n with everything current exits with 0" 0 "$RC"
check_contains "no updates" "There are no updates available" "$(cat "$FY/calls")"

installed y 1.5 X
yad_reset
zpm_run -U -n
check_eq "zpm -U -n with one older package exits with 1" 1 "$RC"
rows=$(yad_stdin "$(find_call --list)")
check "the update of y is listed" grep -qx y <<<"$rows"
check "with the new version" grep -qx 2.0 <<<"$rows"

# Delete dry runs.
yad_reset
zpm_run -D -n a
check_eq "zpm -D -n a takes its own dependency along" 2 "$RC"
rows=$(yad_stdin "$(find_call --list)")
check "d goes with a" grep -qx d <<<"$rows"
installed e 1.0 X '' d
yad_reset
zpm_run -D -n a
check_eq "d stays while e needs it" 1 "$RC"
yad_reset
zpm_run -D -n d
check_eq "d itself cannot go while a and e need it" 0 "$RC"
check_contains "the refusal is logged" "d cannot be removed" "$ERR"

# Outside a dry run: the summary, the question, and the outcome.  The repository's packages
# are unsigned, so the install itself fails and says so; the mode still ends with 0.
yad_reset
zpm_run -I b
check_eq "a failed install still ends the mode with 0" 0 "$RC"
check_contains "the failure is shown" "Failure installing b, rc: -1" "$(cat "$FY"/*.args)"
q=$(find_call --button=gtk-yes:0)
check_eq "summary before the question" "install of b will make the following changes:
* install of b, version 1.0: Download size: $(printf '%7lu' $(( $(stat -c %s "$ZR$REPO/b-1.0.zpk") / 1024 ))) kb, Install size:       2 kb
Do you want to continue" "$(yad_text "$q")"
check "b is still not installed" test ! -e "$ZR$INV/installed/b"

# The lock: held by another process, the changing modes stop; dry runs go on.
python3 -c '
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o640)
fcntl.lockf(fd, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
time.sleep(60)' "$ZR$INV/lock" "$ZR/tmp/locked" &
holder=$!
for _ in $(seq 50); do [ -e "$ZR/tmp/locked" ] && break; sleep 0.1; done
for mode in "-I b" "-U" "-D a"; do
  yad_reset
  zpm_run $mode
  check_eq "zpm $mode while locked exits with 1" 1 "$RC"
  check_contains "zpm $mode reports the lock" "failed to lock inventory" "$ERR"
done
yad_reset
zpm_run -I -n b
check_eq "zpm -I -n b runs while locked" 1 "$RC"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null

# The same with a real zpm holding the lock: the first -I waits at its
# question (a yad that answers only when told to) while a second one runs.
mv "$ZR/usr/bin/yad" "$ZR/usr/bin/yad.fake"
cat > "$ZR/usr/bin/yad" <<'EOF'
#!/bin/bash
for a in "$@"; do
  if [ "$a" = --button=gtk-yes:0 ]; then
    : > /tmp/asking
    for _ in $(seq 300); do [ -e /tmp/answer ] && break; sleep 0.1; done
  fi
done
exec /usr/bin/yad.fake "$@"
EOF
chmod 0755 "$ZR/usr/bin/yad"
rm -f "$ZR/tmp/asking" "$ZR/tmp/answer"
yad_reset
zroot_run /usr/bin/zpm -I b >/dev/null 2>&1 &
first=$!
for _ in $(seq 100); do [ -e "$ZR/tmp/asking" ] && break; sleep 0.1; done
check "the first zpm -I holds the lock at its question" test -e "$ZR/tmp/asking"
zpm_run -I b
check_eq "a second zpm -I exits with 1" 1 "$RC"
check_contains "a second zpm -I reports the lock" "failed to lock inventory" "$ERR"
zpm_run -I -n b
check_eq "a second zpm -I -n runs meanwhile" 1 "$RC"
: > "$ZR/tmp/answer"
wait "$first"
check_eq "the first zpm -I ends" 0 "$?"
check "the lock file is gone after the first ends" test ! -e "$ZR$INV/lock"
finish
