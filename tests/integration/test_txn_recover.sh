#!/bin/bash
# The kill sweep: zpm killed with SIGKILL (strace fault injection inside the root) at the
# renames, unlinks, creations and writes of an install with a dependency, an update and a
# delete that removes a dependency too.  After each kill ONE run of some other mutating mode
# repairs the system: every package is then wholly its old or its new version (files, modes,
# link, file index) or wholly absent, the user's file it replaced is back, and nothing is left
# (no journal, stage directory, temporary file or half-made entry).  Then the interrupted
# command, run again, succeeds.
#   ZPM_KILL_FULL=1   every point (default: ZPM_KILL_POINTS per system call, first and last)
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
source "$(dirname "$0")/txnulib.sh"
if ! zroot_run strace -V >/dev/null 2>&1; then
  fail "strace is installed"
  finish
fi
MAXPOINTS=${ZPM_KILL_POINTS:-2}
[ -n "${ZPM_KILL_FULL:-}" ] && MAXPOINTS=1000000

blob() { head -c "$2" /dev/zero | tr '\0' "$1"; }
sum_of() { printf '%s' "$(blob "$1" "$2")" | sha1sum | cut -c1-40; }
pkgsrc kl
pkgfile kl /opt/kl/lib "$(blob L 3000)"
pkgbuild kl 1.0 '' /tmp/deps/kl.zpk
pkgsrc k
pkgfile k /opt/k/a "$(blob A 5000)"
pkgfile k /opt/k/b "$(blob B 3000)" 0750
pkgfile k /opt/k/drop "$(blob D 2000)"
pkgbuild k 1.0 kl /tmp/pkgs/k-1.0.zpk
pkgsrc k
pkgfile k /opt/k/a "$(blob a 7000)"
pkgfile k /opt/k/b "$(blob b 1500)" 0755
pkgfile k /opt/k/new "$(blob n 4000)"
pkginfo k link.txt '/opt/k|new|new.link
'
pkgbuild k 2.0 kl /tmp/pkgs/k-2.0.zpk
pkgsrc other
pkgfile other /opt/other/o other
pkgbuild other 1.0 '' /tmp/pkgs/other.zpk

# What each path is in each state: "<sha1>:<mode>", "link:<target>" or "absent".
state_of() {
  local p=$ZR$1
  if [ -L "$p" ]; then echo "link:$(readlink "$p")"
  elif [ -e "$p" ]; then echo "$(sha1sum < "$p" | cut -c1-40):$(stat -c %a "$p")"
  else echo absent; fi
}
declare -A KL1=([/opt/kl/lib]="$(sum_of L 3000):644")
declare -A KL0=([/opt/kl/lib]=absent)
declare -A K1=([/opt/k/a]="$(sum_of A 5000):644" [/opt/k/b]="$(sum_of B 3000):750"
  [/opt/k/drop]="$(sum_of D 2000):644" [/opt/k/new]=absent [/opt/k/new.link]=absent)
declare -A K2=([/opt/k/a]="$(sum_of a 7000):644" [/opt/k/b]="$(sum_of b 1500):755"
  [/opt/k/drop]=absent [/opt/k/new]="$(sum_of n 4000):644" [/opt/k/new.link]=link:new)
USER_A="$(printf 'users own a' | sha1sum | cut -c1-40):600"
declare -A K0=([/opt/k/a]="$USER_A" [/opt/k/b]=absent [/opt/k/drop]=absent [/opt/k/new]=absent
  [/opt/k/new.link]=absent)

# pkg_state NAME PREFIX: the version NAME is wholly in ("absent" when it is wholly gone, with
# the files of map <PREFIX>0), or what is wrong.
pkg_state() {
  local name=$1 v=absent map f bad="" want
  inv_has "$name" && v=$(desc_version "$name")
  case $v in
    absent) map=${2}0 ;; 1.0) map=${2}1 ;; 2.0) map=${2}2 ;; *) echo "odd version $v"; return ;;
  esac
  local -n files=$map
  for f in "${!files[@]}"; do [ "$(state_of "$f")" = "${files[$f]}" ] || bad+=" $f"; done
  if [ "$v" != absent ]; then
    want=$(for f in "${!files[@]}"; do [[ "${files[$f]}" =~ ^[0-9a-f]{40}: ]] && echo "$f"; done | sort)
    [ "$want" = "$(sort "$ZR$INV/fileindex/$name" 2>/dev/null)" ] || bad+=" (index)"
  elif [ -e "$ZR$INV/fileindex/$name" ] || [ -e "$ZR$INV/installed/$name" ]; then
    bad+=" (entry)"
  fi
  if [ -n "$bad" ]; then echo "$v, wrong:$bad"; else echo "$v"; fi
}

# What killed runs may leave and the next run must clear.
leftovers() {
  (cd "$ZR" && find var/lib/zpm opt -name '*.zpm*' -o -name '.*.new' -o -name '.*.del'
   find var/lib/zpm/stagearea -mindepth 1 -maxdepth 1 -type d
   ls -d var/lib/zpm/journal var/lib/zpm/lock) 2>/dev/null | sort | tr '\n' ' '
}

snapshot() { tar -C "$ZR" -cf "$ZR_BASE/$1.tar" var/lib/zpm opt; }
restore() { rm -rf "$ZR/var/lib/zpm" "$ZR/opt"; tar -C "$ZR" -xf "$ZR_BASE/$1.tar"; }

# points TRACE SYSCALL: ordinals, among that call's own calls, of those touching the packages'
# files, the inventory or the journal; all of them, or MAXPOINTS spread from first to last.
points() {
  awk -v sc="$2" -v max="$MAXPOINTS" '
    { name = $0; sub(/\(.*/, "", name) }
    name == sc { n++
      if ($0 ~ /\/opt\/k|\/var\/lib\/zpm(>|\/(journal|\.journal|installed|fileindex|stagearea\/k))/) hit[++h] = n }
    END { if (h <= max) { for (i = 1; i <= h; i++) print hit[i]; exit }
          if (max < 2) { print hit[1]; exit }
          for (i = 0; i < max; i++) print hit[1 + int(i * (h - 1) / (max - 1))] }' "$ZR$1" | uniq
}

CALLS="rename renameat renameat2 unlink unlinkat openat mkdir mkdirat write"
REPAIRS=("-D nosuch" "-U nosuch" "-I /tmp/pkgs/other.zpk")
total=0

# sweep WHAT START FINAL ALLOWED... -- ARGS: the command ARGS killed at every chosen point,
# from the saved state START; after one repair run the state of "kl k" must be one of ALLOWED,
# and after the command is run again it must match the pattern FINAL.
sweep() {
  local what=$1 start=$2 final=$3 sc n st repair; shift 3
  local allowed=()
  while [ "$1" != -- ]; do allowed+=("$1"); shift; done; shift
  restore "$start"
  zroot_run strace -y -s 0 -o /tmp/trace -e trace="${CALLS// /,}" /usr/bin/zpm "$@" \
    >/dev/null 2>&1 </dev/null
  echo "$what: $(MAXPOINTS=1000000; for sc in $CALLS; do points /tmp/trace "$sc"; done | wc -l) kill points"
  for sc in $CALLS; do
    for n in $(points /tmp/trace "$sc"); do
      restore "$start"
      zroot_run strace -o /dev/null -e trace="$sc" -e inject="$sc":signal=KILL:when="$n" \
        /usr/bin/zpm "$@" >/dev/null 2>&1 </dev/null
      [ $? = 137 ] || { fail "$what killed at $sc #$n: the kill struck"; continue; }
      repair=${REPAIRS[total % 3]}
      zpm_do $repair
      st="$(pkg_state kl KL) $(pkg_state k K)"
      if [[ " ${allowed[*]/#/|} " != *"|$st "* ]] || [ "$RC" != 0 ] || [ -n "$(leftovers)" ]; then
        fail "$what killed at $sc #$n, then zpm $repair: wholly old or new, nothing left" \
          "state: $st (allowed: ${allowed[*]}), rc $RC, left: $(leftovers)"
      else
        pass "$what killed at $sc #$n, then zpm $repair: $st"
      fi
      zpm_do "$@"
      st="$RC $(pkg_state kl KL) $(pkg_state k K) $(leftovers)"
      # shellcheck disable=SC2053
      [[ "$st" == 0\ $final\  ]] || fail "$what killed at $sc #$n: run again it succeeds" "$st"
      total=$((total + 1))
    done
  done
}

mkdir -p "$ZR/opt/k"
printf 'users own a' > "$ZR/opt/k/a"
chmod 600 "$ZR/opt/k/a"
snapshot empty
sweep install empty "1.0 1.0" "absent absent" "1.0 absent" "1.0 1.0" -- -o incdir=/tmp/deps -I /tmp/pkgs/k-1.0.zpk
restore empty
zpm_do -o incdir=/tmp/deps -I /tmp/pkgs/k-1.0.zpk
snapshot v1
sweep update v1 "1.0 2.0" "1.0 1.0" "1.0 2.0" -- -U /tmp/pkgs/k-2.0.zpk
restore v1
zpm_do -U /tmp/pkgs/k-2.0.zpk
snapshot v2
K0=([/opt/k/a]=absent [/opt/k/b]=absent [/opt/k/drop]=absent [/opt/k/new]=absent [/opt/k/new.link]=absent)
sweep delete v2 "* absent" "1.0 2.0" "1.0 absent" "absent absent" -- -D k

# A recovery is told in the log and the install log.
restore v1
zroot_run strace -o /dev/null -e trace=renameat2 -e inject=renameat2:signal=KILL:when=1 \
  /usr/bin/zpm -f -U /tmp/pkgs/k-2.0.zpk >/dev/null 2>&1 </dev/null
zpm_do -D nosuch
check "the recovery is logged" log_has "Found the interrupted update of k_x86_64_1.0 to k_x86_64_2.0; completing it"
check_eq "and is in the install log" "interrupted update of k_x86_64_1.0 to k_x86_64_2.0 completed" \
  "$(install_events | tail -n 1)"
check "kill points tried" test "$total" -ge 20

# An update killed before its switch whose undo cannot restore a file (a directory is now where
# the file was): nothing else is done, and the journal and the backups stay until it can.
restore v1
zroot_run strace -y -o /tmp/trace -e trace=mkdirat /usr/bin/zpm -f -U /tmp/pkgs/k-2.0.zpk \
  >/dev/null 2>&1 </dev/null
n=$(awk '/\.k\.new/ { print NR; exit }' "$ZR/tmp/trace")
restore v1
zroot_run strace -o /dev/null -e trace=mkdirat -e inject=mkdirat:signal=KILL:when="$n" \
  /usr/bin/zpm -f -U /tmp/pkgs/k-2.0.zpk >/dev/null 2>&1 </dev/null
mkdir -p "$ZR/opt/k/drop/in-the-way"
zpm_do -I /tmp/pkgs/other.zpk
check_eq "a recovery that cannot restore stops the run" "1 no" "$RC $(inv_has other && echo yes || echo no)"
check_contains "and says so" "an interrupted change of the system could not be finished" "$ERR"
check "the journal and the backup stay" test -f "$ZR$INV/journal" -a \
  -f "$ZR$INV/stagearea/k_x86_64_2.0/old/opt/k/drop"
rm -r "$ZR/opt/k/drop"
zpm_do -I /tmp/pkgs/other.zpk
check_eq "once it can, the run recovers and goes on" "0 1.0 1.0 yes" \
  "$RC $(pkg_state kl KL) $(pkg_state k K) $(leftovers)$(inv_has other && echo yes)"

# The backups a killed run left in a package's stage directory are never replayed by a later,
# failing run over a file it did not touch.
pkgsrc ks
pkgfile ks /opt/ks/f ks
pkgscript ks 99-add.sh 'exit 1'
pkgbuild ks 1.0 '' /tmp/pkgs/ks.zpk
printf mine > "$ZR/opt/mine"
mkdir -p "$ZR$INV/stagearea/ks_x86_64_1.0/old/opt"
printf stale > "$ZR$INV/stagearea/ks_x86_64_1.0/old/opt/mine"
echo /opt/mine > "$ZR$INV/stagearea/ks_x86_64_1.0/old/index.txt"
yad_reset; zpm_do -I /tmp/pkgs/ks.zpk
check_eq "a failing install rolls back only its own backups" "Failure installing /tmp/pkgs/ks.zpk, rc: 256
| mine" "$(yad_texts) $(content /opt/mine)"
echo "kill points tried: $total"
finish
