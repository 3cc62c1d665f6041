#!/bin/bash
# The bash completion of zpm, sourced into this shell and asked as bash asks it: options, the
# keys of -o and their values, installed packages below the root given with -o root=DIR,
# catalogue names from the configured package directories' indexes, and package files.
set -uo pipefail
ZPM_SRC=${ZPM_SRC:-$(cd "$(dirname "$0")/../.." && pwd)}
PASSED=0 FAILED=0
pass() { PASSED=$((PASSED + 1)); echo "ok: $1"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $1"; shift; [ $# -gt 0 ] && printf '  %s\n' "$@"; }
source "$ZPM_SRC/data/zpm.bash-completion"
[ "$(complete -p zpm)" = "complete -F _zpm zpm" ] && pass "registered for zpm" || fail "registered"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Root R: alpha and beta installed, an unfinished entry and an old entry beside them; two
# configured package directories. Root D: no zpc_dirs, so the default directory below it.
R=$work/r D=$work/d
for p in alpha beta; do mkdir -p "$R/var/lib/zpm/installed/$p"; touch "$R/var/lib/zpm/installed/$p/inst.txt"; done
mkdir -p "$R/var/lib/zpm/installed/abacus" "$R/var/lib/zpm/installed/.alpha.old" "$R/etc" "$R/repo1" "$R/repo2"
touch "$R/var/lib/zpm/installed/.alpha.old/inst.txt"
printf 'arch_name = x86_64\nZPC_DIRS = "%s:%s"\n' "$R/repo1" "$R/repo2" > "$R/etc/zpm.conf"
index() { printf 'dn: ezpkUid=%s\nezpmVersion: 1.0\nezpkName: %s\nezpkVersion: 1.0\n\n' "$2" "$2" >> "$1/index.ldif"; }
index "$R/repo1" hello; index "$R/repo2" helper; index "$R/repo2" editor
mkdir -p "$D/var/lib/zpm/repo" "$D/etc"
index "$D/var/lib/zpm/repo" hello-doc
mkdir -p "$work/cwd/pkgs" && touch "$work/cwd/x.zpk" "$work/cwd/notes.txt"
cd "$work/cwd" || exit 1

# ask LINE: the completions of LINE (the cursor at its end), sorted, one line. The words are
# split as bash splits them: at blanks, with "=" and ":" words of their own.
ask() {
  COMP_LINE=$1 COMP_POINT=${#1}
  local split
  split=$(sed -E 's/([=:])/ \1 /g' <<<"$1")
  read -r -a COMP_WORDS <<<"$split"
  [[ $1 == *[[:space:]] || $1 == *[=:] ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _zpm zpm "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}
cases=(
  "zpm --ins|--install"
  "zpm -I --d|--defaults --delete --dry-run"
  "zpm -o root=$R -D |alpha beta"
  "zpm -o root=$R -D a|alpha"
  "zpm -o root=$R -Q |alpha beta pkgs/ x.zpk"
  "zpm -o root=$R -I he|hello helper"
  "zpm -o root=$R -I |editor hello helper pkgs/ x.zpk"
  "zpm -o root=$R -S e|editor"
  "zpm -o root=$D -S |hello-doc"
  "zpm -l |notes.txt pkgs x.zpk"
  "zpm -o vo|vote="
  "zpm -o vote=|ask defaults force"
  "zpm -o vote=d|defaults"
  "zpm -o debug=true,out|true,outform="
  "zpm -o root=$R,outform=c|csv"
)
for c in "${cases[@]}"; do
  line=${c%%|*} want=${c#*|}
  got=$(ask "$line")
  if [ "$got" = "$want" ]; then pass "'$line'"; else fail "'$line'" "want: $want" "got:  $got"; fi
done

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
