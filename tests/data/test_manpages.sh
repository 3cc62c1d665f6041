#!/bin/bash
# The man pages: every page of man/ passes mandoc's lint (a page added later is checked too),
# and every option that a program's usage text lists is in the program's page.
set -uo pipefail
ZPM_SRC=${ZPM_SRC:-$(cd "$(dirname "$0")/../.." && pwd)}
ZPM_BUILD=${ZPM_BUILD:-$ZPM_SRC/build}
PASSED=0 FAILED=0
pass() { PASSED=$((PASSED + 1)); echo "ok: $1"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $1"; shift; [ $# -gt 0 ] && printf '  %s\n' "$@"; }
command -v mandoc >/dev/null || { echo "FAIL: mandoc is not installed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pages=("$ZPM_SRC"/man/*.[1-8])
[ "${#pages[@]}" -ge 5 ] && pass "${#pages[@]} pages" || fail "the five pages are there"
for p in "${pages[@]}"; do
  out=$(mandoc -T lint -W style "$p" 2>&1)
  if [ -z "$out" ]; then pass "lint: ${p##*/}"; else fail "lint: ${p##*/}" "$out"; fi
done

# zpm prints its usage only where it finds a yad: the recording stand-in.
mkdir -p "$work/bin"
ln -s "$ZPM_SRC/tests/tools/fake-yad" "$work/bin/yad"
# zpm-tty runs the zpm of PATH when none lies beside it; its help ends with zpm's usage.
ln -s "$ZPM_BUILD/src/zpm/zpm" "$work/bin/zpm"
export FAKE_YAD_DIR=$work/yad PATH=$work/bin:$PATH
# options PROGRAM ARGS...: the options its usage text lists, one a line ("-o", "--options").
options() { "$@" 2>&1 | grep -oE -- '(^|[][:space:],[])--?[A-Za-z][A-Za-z-]*' | sed 's/^[][:space:],[]//' | sort -u; }
rendered() { mandoc -T ascii "$ZPM_SRC/man/$1" | sed 's/.\x08//g'; }
# PAGE|LEAST|COMMAND: the command prints the usage text, which lists at least LEAST options.
for row in "zpm.8|10|$ZPM_BUILD/src/zpm/zpm -H" \
  "zpk-build.1|10|$ZPM_BUILD/src/zpk-build/zpk-build --help" \
  "zpm-check.8|10|$ZPM_BUILD/src/zpm-check/zpm-check --help" \
  "zpm-tty.1|30|$ZPM_BUILD/src/zpm-tty/zpm-tty --help" \
  "zpk-index.1|3|$ZPM_BUILD/src/zpk-index/zpk-index --help"; do
  IFS='|' read -r page least rest <<<"$row"
  read -r -a cmd <<<"$rest"
  listed=$(options "${cmd[@]}")
  text=$(rendered "$page")
  missing=""
  for o in $listed; do grep -qw -- "$o" <<<"$text" || missing+=" $o"; done
  if [ "$(wc -l <<<"$listed")" -ge "$least" ] && [ -z "$missing" ]; then
    pass "$page has all $(wc -l <<<"$listed") options of the usage text"
  else
    fail "$page lacks options of the usage text:$missing" "$listed"
  fi
done

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
