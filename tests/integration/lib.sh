# Helpers of the integration tests: a throwaway root with the build installed and the fake
# yad, and assertions that count and report.
#
#   source "$(dirname "$0")/lib.sh"     (re-executes the test in a private mount namespace)
#   setup_root                          fresh root in $ZR with zpm installed, fake yad in $FY
#   zpm_run ARGS...                     runs zpm in the root ($ZPM_BIN, default /usr/bin/zpm);
#                                       sets RC, OUT, ERR
#   check NAME COND...                  passes when the command COND succeeds
#   check_eq NAME EXPECTED ACTUAL
#   check_contains NAME NEEDLE HAYSTACK
#   yad_calls                           number of recorded yad calls (version probes aside)
#   yad_args N                          the arguments of call N, one per line
#   yad_stdin N                         what call N read on standard input
#   sanitizer_check WHAT                fails once per sanitizer report written in the root
#                                       since the last look (zpm_run and finish look)
#   finish                              prints "N passed, N failed" and sets the exit status
set -uo pipefail
ZPM_SRC=${ZPM_SRC:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
ZPM_BUILD=${ZPM_BUILD:-$ZPM_SRC/build}
source "$ZPM_SRC/tests/tools/zroot-lib.sh"
# Sanitized builds: every process in the root writes its reports here (see zroot_run).
ZROOT_SANITIZER_LOG=/var/tmp/sanitizer-reports
zroot_enter "$@"

PASSED=0
FAILED=0

setup_root() {
  zroot_create
  zroot_install "$ZPM_BUILD"
  zroot_fake_yad
}

zpm_run() {
  local out err
  out=$(mktemp) err=$(mktemp)
  zroot_run "${ZPM_BIN:-/usr/bin/zpm}" "$@" >"$out" 2>"$err" </dev/null
  RC=$?
  OUT=$(cat "$out"); ERR=$(cat "$err")
  rm -f "$out" "$err"
  sanitizer_check "zpm $*"
  return 0
}

pass() { PASSED=$((PASSED + 1)); echo "ok: $1"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $1"; shift; [ $# -gt 0 ] && printf '  %s\n' "$@"; return 0; }

check() {
  local name=$1; shift
  if "$@"; then pass "$name"; else fail "$name" "command failed: $*"; fi
}

check_eq() {
  if [ "$2" == "$3" ]; then pass "$1"; else
    fail "$1" "expected: $(printf '%q' "$2")" "actual:   $(printf '%q' "$3")"; fi
}

check_contains() {
  if [[ "$3" == *"$2"* ]]; then pass "$1"; else
    fail "$1" "expected to contain: $(printf '%q' "$2")" "in: $(printf '%q' "$3")"; fi
}

check_not_contains() {
  if [[ "$3" != *"$2"* ]]; then pass "$1"; else
    fail "$1" "expected not to contain: $(printf '%q' "$2")" "in: $(printf '%q' "$3")"; fi
}

yad_calls() { cat "$FY/count" 2>/dev/null || echo 0; }
yad_args() { cat "$FY/$1.args" 2>/dev/null; }
yad_stdin() { cat "$FY/$1.stdin" 2>/dev/null; }
yad_reset() { rm -rf "$FY"; mkdir -p "$FY"; }
# yad_answers LINE...   one answer line per coming call ("<status>[ <output>]")
yad_answers() { yad_reset; printf '%s\n' "$@" > "$FY/answers"; }

sanitizer_check() {
  local r
  for r in "${ZR:-/nonexistent}$ZROOT_SANITIZER_LOG"/report.*; do
    [ -f "$r" ] || continue
    fail "sanitizer report after $1" "$(head -n 60 "$r")"
    rm -f "$r"
  done
}

finish() {
  sanitizer_check "the last check"
  echo "$PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ]
  exit $?
}
