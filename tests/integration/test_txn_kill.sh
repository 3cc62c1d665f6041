#!/bin/bash
# zpm killed with SIGKILL in the middle of an install or an update, at the system calls that
# touch the package's files and inventory entries (strace fault injection, inside the root):
# every file of the package is either its old content or the whole new content, never missing
# or cut; during an update the package stays registered throughout; and a later zpm -f -I or
# zpm -f -U of the same package file completes it, despite the lock file the killed run left.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
source "$(dirname "$0")/txnulib.sh"
if ! zroot_run strace -V >/dev/null 2>&1; then
  fail "strace is installed"
  finish
fi
MAXPOINTS=${ZPM_KILL_POINTS:-3}
# LeakSanitizer cannot work under ptrace: a sanitized zpm under strace is checked for all
# but leaks.
traced() { ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" zroot_run strace "$@"; }

# Contents of several 1 KiB blocks, so that a file cut short shows.
blob() { head -c "$2" /dev/zero | tr '\0' "$1"; }
pkgsrc k
pkgfile k /opt/k/a "$(blob A 5000)"
pkgfile k /opt/k/b "$(blob B 3000)" 0750
pkgfile k /opt/k/drop "$(blob D 2000)"
pkgbuild k 1.0 '' /tmp/pkgs/k-1.0.zpk
pkgsrc k
pkgfile k /opt/k/a "$(blob a 7000)"
pkgfile k /opt/k/b "$(blob b 1500)" 0755
pkgfile k /opt/k/new "$(blob n 4000)"
pkgbuild k 2.0 '' /tmp/pkgs/k-2.0.zpk
sum_of() { printf '%s' "$(blob "$1" "$2")" | sha1sum | cut -c1-40; }
declare -A OLD=([a]=$(sum_of A 5000) [b]=$(sum_of B 3000) [drop]=$(sum_of D 2000) [new]=absent)
declare -A NEW=([a]=$(sum_of a 7000) [b]=$(sum_of b 1500) [drop]=absent [new]=$(sum_of n 4000))
state_of() {
  if [ -e "$ZR/opt/k/$1" ]; then sha1sum < "$ZR/opt/k/$1" | cut -c1-40; else echo absent; fi
}

# The inventory and the package's place, saved and put back between runs.
snapshot() {
  local places=(var/lib/zpm)
  [ -e "$ZR/opt/k" ] && places+=(opt/k)
  tar -C "$ZR" -cf "$ZR_BASE/$1.tar" "${places[@]}"
}
restore() { rm -rf "$ZR/var/lib/zpm" "$ZR/opt/k"; tar -C "$ZR" -xf "$ZR_BASE/$1.tar"; }

# points TRACE SYSCALL: the ordinal numbers, among that system call's own calls, of those that
# touch the package's files, its backups or its inventory entries; at most MAXPOINTS of them,
# spread evenly and always with the first and the last.
points() {
  awk -v sc="$2" -v max="$MAXPOINTS" '
    { name = $0; sub(/\(.*/, "", name) }
    name == sc { n++
      if ($0 ~ /\/opt\/k|\/var\/lib\/zpm\/(installed|fileindex)|stagearea\/k_[^\/]*\/old/) hit[++h] = n }
    END { if (h <= max) { for (i = 1; i <= h; i++) print hit[i]; exit }
          for (i = 0; i < max; i++) print hit[1 + int(i * (h - 1) / (max - 1))] }' "$ZR$1" | uniq
}

# run_killed SYSCALL N ARGS...: zpm ARGS under strace, killed at the N-th call of SYSCALL.
run_killed() {
  local sc=$1 n=$2; shift 2
  traced -o /dev/null -e trace="$sc" -e inject="$sc":signal=KILL:when="$n" \
    /usr/bin/zpm "$@" >/dev/null 2>&1 </dev/null
  KRC=$?
}

# whole_files WHAT: every path is in the old or the new version's state.
whole_files() {
  local f s bad=""
  for f in a b drop new; do
    s=$(state_of "$f")
    [ "$s" = "${OLD[$f]}" ] || [ "$s" = "${NEW[$f]}" ] || bad+=" $f"
  done
  check_eq "$1: every file is the old or the whole new one" "" "$bad"
}

# final_state WHAT VERSION SUMS: the package is registered as VERSION, its files have the sums
# of the array named SUMS, and its index lists exactly the files that version has.
final_state() {
  local want f bad=""
  local -n sums=$3
  check_eq "$1: version $2 is registered" "$2" "$(inv_has k && desc_version k)"
  for f in a b drop new; do [ "$(state_of "$f")" = "${sums[$f]}" ] || bad+=" $f"; done
  check_eq "$1: the files are version $2's" "" "$bad"
  want=$(for f in a b drop new; do [ "${sums[$f]}" != absent ] && echo "/opt/k/$f"; done)
  check_eq "$1: the file index lists them" "$want" "$(sort "$ZR$INV/fileindex/k" 2>/dev/null)"
  check "$1: no new file index is left" test ! -e "$ZR$INV/fileindex/.k.new"
  # A run killed right after the exchange of the entries leaves the old entry under the new
  # entry's name until the next update; never a half-built new entry.
  if [ -e "$ZR$INV/installed/.k.new" ]; then
    check_eq "$1: what is left as .k.new is the whole old entry" "1.0 yes" \
      "$(desc_version k .k.new) $(test -f "$ZR$INV/installed/.k.new/inst.txt" && echo yes)"
  fi
}

CALLS="openat write rename renameat renameat2 unlink unlinkat"
total=0

# kill_install WHERE: the install killed at each chosen point, then repeated.
kill_install() {
  local sc n what bad f s
  restore empty
  traced -s 0 -o /tmp/trace-install -e trace="${CALLS// /,}" \
    /usr/bin/zpm -f -I /tmp/pkgs/k-1.0.zpk >/dev/null 2>&1 </dev/null
  final_state "$1: install under strace" 1.0 OLD
  for sc in $CALLS; do
    for n in $(points /tmp/trace-install "$sc"); do
      what="$1: install killed at $sc #$n"
      restore empty
      run_killed "$sc" "$n" -f -I /tmp/pkgs/k-1.0.zpk
      check_eq "$what: the kill struck" 137 "$KRC"
      bad=""
      for f in a b drop; do
        s=$(state_of "$f"); [ "$s" = absent ] || [ "$s" = "${OLD[$f]}" ] || bad+=" $f"
      done
      check_eq "$what: every file is absent or whole" "" "$bad"
      zpm_do -I /tmp/pkgs/k-1.0.zpk
      check_eq "$what: a new install exits 0" 0 "$RC"
      final_state "$what, then installed again" 1.0 OLD
      total=$((total + 1))
    done
  done
}

# kill_update WHERE: the update of an installed 1.0 killed at each chosen point, then repeated.
kill_update() {
  local sc n what v
  restore empty
  zpm_do -I /tmp/pkgs/k-1.0.zpk
  snapshot v1
  traced -s 0 -o /tmp/trace-update -e trace="${CALLS// /,}" \
    /usr/bin/zpm -f -U /tmp/pkgs/k-2.0.zpk >/dev/null 2>&1 </dev/null
  final_state "$1: update under strace" 2.0 NEW
  for sc in $CALLS; do
    for n in $(points /tmp/trace-update "$sc"); do
      what="$1: update killed at $sc #$n"
      restore v1
      run_killed "$sc" "$n" -f -U /tmp/pkgs/k-2.0.zpk
      check_eq "$what: the kill struck" 137 "$KRC"
      whole_files "$what"
      check "$what: the package is still registered" inv_has k
      v=$(desc_version k)
      check "$what: as the old or the new version" test "$v" = 1.0 -o "$v" = 2.0
      zpm_do -U /tmp/pkgs/k-2.0.zpk
      check_eq "$what: a new update exits 0" 0 "$RC"
      final_state "$what, then updated again" 2.0 NEW
      total=$((total + 1))
    done
  done
}

snapshot empty
kill_install "one file system"
kill_update "one file system"
# With the package's place on a file system of its own, files cannot be moved out of the stage
# area and are copied instead.
mkdir -p "$ZR/opt"
mount -t tmpfs -o size=16m,mode=0755 opt "$ZR/opt"
kill_install "own file system"
kill_update "own file system"

# ------------------------------------------------ the lock a killed run leaves
restore v1
run_killed renameat 1 -f -U /tmp/pkgs/k-2.0.zpk
check_eq "a killed run dies" 137 "$KRC"
check "and leaves its lock file behind" test -s "$ZR$INV/lock"
zpm_do -U /tmp/pkgs/k-2.0.zpk
check_eq "the next run takes the lock and updates" "0 2.0" "$RC $(desc_version k)"
check "and removes the lock file" test ! -e "$ZR$INV/lock"
check "at least one kill point each for install and update" test "$total" -ge 2
echo "kill points tried: $total"
finish
