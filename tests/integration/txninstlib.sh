# shellcheck shell=bash disable=SC2034
# Helpers shared by the install, delete and flow tests. Source after lib.sh and txnlib.sh.
#
#   zpm_in DIR ARGS...          zpm run inside the root from directory DIR; sets RC, OUT, ERR
#   zpm_ask ANSWERS ARGS...     zpm without -f, the fake yad answering from ANSWERS (one
#                               "<status>[ <output>]" per call, separated by ';')
#   yad_text N                  the --text argument of call N, exactly, followed by "|"
#   yad_texts                   the same for every call, in order
#   find_call ARG               number of the first call with exactly this argument (0: none)
#   recscript NAME SCRIPT TAG   a script that appends "TAG" and its environment to /tmp/rec
#   rec_lines                   the "TAG" lines of /tmp/rec, in order
#   rec_env TAG VAR             the value VAR had when the script tagged TAG ran ("<unset>")
#   fileindex NAME              the file index of NAME, or "<none>"
#   stage_of PUNAME             the stage directory of a package as seen from outside
#   forge ARGS...               tests/tools/zpk-forge, or status 127 when it is not there
#   logcount TEXT               how many log lines contain TEXT
#   install_events              the install log without time stamps
# zpm_run and zpm_in also fail the test when zpm reports a sanitizer finding.
FORGE=$ZPM_SRC/tests/tools/zpk-forge

zpm_in() {
  local dir=$1 out err; shift
  out=$(mktemp) err=$(mktemp)
  zroot_run /bin/sh -c 'cd "$1" && shift && exec /usr/bin/zpm "$@"' zpm "$dir" "$@" \
    >"$out" 2>"$err" </dev/null
  RC=$?
  OUT=$(cat "$out"); ERR=$(cat "$err")
  rm -f "$out" "$err"
  if [[ "$ERR" == *Sanitizer* ]]; then fail "sanitizer report from zpm $*" "$ERR"; fi
  sanitizer_check "zpm $*"
}

zpm_ask() {
  local answers=$1; shift
  yad_reset
  tr ';' '\n' <<<"$answers" > "$FY/answers"
  zpm_run "$@"
}

yad_text() {
  awk 'BEGIN { RS = "\0" } f { printf "%s|", $0; exit } $0 == "--text" { f = 1 }' \
    "$FY/$1.args0" 2>/dev/null
}

yad_texts() {
  local n
  for ((n = 1; n <= $(yad_calls); n++)); do yad_text "$n"; done
}

find_call() {
  local n
  for ((n = 1; n <= $(yad_calls); n++)); do
    grep -qxF -- "$1" "$FY/$n.args" && { echo "$n"; return; }
  done
  echo 0
}

# The scripts run under the busybox ash of the script directory with its applets on PATH.
recscript() {
  pkgscript "$1" "$2" "echo \"== $3 pwd=\$(pwd)\" >> /tmp/rec
env | sort | sed 's/^/   /' >> /tmp/rec"
}

rec_lines() { sed -n 's/^== \([^ ]*\) .*/\1/p' "$ZR/tmp/rec" 2>/dev/null; }

rec_pwd() { sed -n "s/^== $1 pwd=//p" "$ZR/tmp/rec" 2>/dev/null | head -n 1; }

rec_env() {
  awk -v tag="$1" -v var="$2" '
    /^== / { on = ($2 == tag); next }
    on && index($0, "   " var "=") == 1 { print substr($0, length(var) + 5); found = 1; exit }
    END { if (!found) print "<unset>" }' "$ZR/tmp/rec" 2>/dev/null
}

fileindex() {
  if [ -f "$ZR$INV/fileindex/$1" ]; then cat "$ZR$INV/fileindex/$1"; else echo "<none>"; fi
}

stage_of() { echo "$ZR$INV/stagearea/$1"; }

forge() {
  [ -x "$FORGE" ] || return 127
  "$FORGE" "$@"
}

logcount() { grep -cF -- "$1" "$ZR/var/log/zpm.log" 2>/dev/null; }

# The install log lines without their time stamps.
install_events() { sed 's/^[0-9-]* [0-9:]*: //' "$ZR$INV/install.log" 2>/dev/null; }

# Every run of zpm is also checked for sanitizer reports (builds made with ZPM_SANITIZE).
declare -f lib_zpm_run >/dev/null || eval "lib_$(declare -f zpm_run)"
zpm_run() {
  lib_zpm_run "$@"
  if [[ "$ERR" == *Sanitizer* ]]; then fail "sanitizer report from zpm $*" "$ERR"; fi
}

# txn_pkgdir: a fresh root (txn_setup) with /tmp/p for package files; STAGE is the stage area.
# build NAME [DEPS]: signs the source tree NAME as /tmp/p/NAME.zpk, version 1.0.
txn_pkgdir() {
  txn_setup
  mkdir -p "$ZR/tmp/p"
  STAGE=$INV/stagearea
}
build() { pkgbuild "$1" 1.0 "${2:-}" "/tmp/p/$1.zpk"; }
