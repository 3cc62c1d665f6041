#!/bin/bash
# zpm with the real yad on a 1024 x 768 screen: dialogs whose texts are too tall for it keep
# their buttons on it (the question before installing 45 packages is answered by a click on
# Yes), and a long install shows a progress window that advances and closes, a short one none.
# zpm runs in a throwaway root (tests/tools/zroot-lib.sh); screenshots go to
# $ZPM_BUILD/gui-artifacts/desktop-*.png.
set -uo pipefail
ZPM_SRC=${ZPM_SRC:-$(cd "$(dirname "$0")/../.." && pwd)}
ZPM_BUILD=${ZPM_BUILD:-$ZPM_SRC/build}
source "$ZPM_SRC/tests/tools/zroot-lib.sh"
zroot_enter "$@"
DRIVER=$ZPM_BUILD/tests/zpmui-driver
ART=$ZPM_BUILD/gui-artifacts
TITLE='^zpm: Zorvek Package Manager$'
SCREEN_H=768
mkdir -p "$ART"
PASSED=0 FAILED=0
pass() { PASSED=$((PASSED + 1)); echo "ok: $1"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $1"; }
check() { local n=$1; shift; if "$@"; then pass "$n"; else fail "$n"; fi; }
for tool in Xvfb openbox xdotool xdpyinfo import compare yad wmctrl strace; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 1; }
done

# An X client asked about a window that is going away can wait for ever (import even with the
# server grabbed): each gets a bound, and windows are photographed as part of the root window.
for _t in xdotool xwininfo import identify; do eval "$_t() { timeout 20 $(command -v $_t) \"\$@\"; }"; done
PIDS=()
cleanup() { local p; for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; }
trap cleanup EXIT
poll() { local n=$1; shift; while [ "$n" -gt 0 ]; do "$@" && return 0; n=$((n - 1)); sleep 0.1; done; return 1; }

# The X server first: the throwaway root binds its socket directory when it is made.
for N in $(seq 140 199); do [ -e "/tmp/.X11-unix/X$N" ] || [ -e "/tmp/.X$N-lock" ] || break; done
Xvfb ":$N" -screen 0 1024x${SCREEN_H}x24 -nolisten tcp -noreset >"$ART/desktop-xvfb.log" 2>&1 &
PIDS+=($!)
export DISPLAY=":$N"
poll 100 xdpyinfo >/dev/null 2>&1 || { echo "Xvfb did not start"; exit 1; }
openbox >"$ART/desktop-openbox.log" 2>&1 &
PIDS+=($!)
showing_desktop() { xprop -root _NET_SHOWING_DESKTOP 2>/dev/null | grep -q " = $1\$"; }
wm_answers() { wmctrl -k on && poll 10 showing_desktop 1; }
poll 300 wm_answers || { echo "openbox does not answer requests"; exit 1; }
wmctrl -k off && poll 100 showing_desktop 0 || { echo "openbox keeps showing the desktop"; exit 1; }

# Windows of zpm's title as "id width height x y", one a line (xwininfo: xdotool's position of
# a framed window is off by the frame).
windows() {
  local w
  for w in $(xdotool search --onlyvisible --name "$TITLE" 2>/dev/null); do
    xwininfo -id "$w" 2>/dev/null | awk -v w="$w" '/Absolute upper-left X/ { x = $NF }
      /Absolute upper-left Y/ { y = $NF } /Width:/ { wd = $NF } /Height:/ { h = $NF }
      END { if (h) print w, wd, h, x, y }'
  done
}
# window_of WIDTH: sets WIN, W, H, X, Y to the first window of that width.
window_of() {
  local line
  line=$(windows | awk -v w="$1" '$2 == w { print; exit }')
  [ -n "$line" ] && read -r WIN W H X Y <<<"$line"
}
crop() { import -window root -crop "${W}x$H+$X+$Y" +repage "$1" 2>/dev/null; }
drawn() { [ "$(crop png:- | identify -format '%k' - 2>/dev/null)" -gt 8 ]; }
shot() { import -window root "$ART/desktop-$1.png"; }
on_screen() { [ $((Y + H)) -le "$SCREEN_H" ]; }

# 1. Tall texts through zpm's own dialog functions: each window ends above the bottom edge.
summary() { # the question before installing n packages
  local i; echo "install of top will make the following changes:"
  for ((i = 1; i <= $1; i++)); do
    printf '* install of package%03d, version 1.0: Download size:       1 kb, Install size:       2 kb\n' "$i"
  done
  printf 'Do you want to continue'
}
lines() { local i; for ((i = 1; i <= $2; i++)); do echo "$1 $i"; done; }
fields() { local i; for ((i = 1; i <= $1; i++)); do echo "Depends=libdep$i"; done; }
rows() { local i; for ((i = 1; i <= $1; i++)); do echo "package$i,1.$i"; done; }
# fits NAME WIDTH DRIVER-ARGS...: the dialog's window, told by its width, ends on the screen.
fits() {
  local name=$1 width=$2 dpid; shift 2
  WIN=""
  "$DRIVER" "$@" >/dev/null 2>>"$ART/desktop-driver.log" &
  dpid=$!
  if poll 150 window_of "$width" && poll 100 drawn; then
    shot "$name"
    check "$name: the window (${W}x$H at $X,$Y) ends on the screen" on_screen
  else
    fail "$name: no window of width $width"
  fi
  [ -n "${WIN:-}" ] && wmctrl -i -c "$WIN" # closed as by its title bar's button
  poll 50 bash -c "! kill -0 $dpid 2>/dev/null" || kill "$dpid"
  wait "$dpid" 2>/dev/null
}
fits question-5 600 yesno "$(summary 5)"
fits question-6 800 yesno "$(summary 6)"
fits message-12 600 info "$(lines 'Failure installing package, rc: -1' 12)" 1
mapfile -t f < <(fields 30)
fits form-30 400 form "Package details" Name=top "${f[@]}"
mapfile -t r < <(rows 300)
fits table-300 800 table "Installed packages" Name,Version "${r[@]}"

# 2. zpm in a throwaway root: 44 libraries and a program that needs them all, a large package
# (10,000 files of random bytes) and a small one.
zroot_create
zroot_install "$ZPM_BUILD"
for a in $(busybox --list); do ln -sf /bin/busybox "$ZR/var/lib/zpm/scriptdir/$a"; done
zroot_run sh -e -c '
  mkdir -p /root/k /var/lib/zpm/repo /tmp/src && cd /root/k
  openssl req -x509 -newkey rsa:2048 -nodes -keyout s.key -out s.crt -days 365 \
    -subj "/CN=Desktop Test" 2>/dev/null
  cp s.crt /var/lib/zpm/certstore/$(openssl x509 -noout -subject_hash -in s.crt).crt
  mk() { # name deps out files size: files that do not compress
    d=/tmp/src/$1; mkdir -p $d/data/opt/$1 $d/info
    printf "ezpmVersion: 1.0\nezpkName: %s\n" $1 > $d/info/desc.txt
    head -c $(($4 * $5)) /dev/urandom | split -b $5 -a 5 - $d/data/opt/$1/f
    zpk-build -k s.key -c s.crt -n $1 -v 1.0 -a x86_64 -d "$2" -o $3 $d >/dev/null
  }
  deps=""
  for i in $(seq 101 144); do mk lib$i "" /var/lib/zpm/repo/lib$i.zpk 1 100; deps=$deps,lib$i; done
  mk top "${deps#,}" /var/lib/zpm/repo/top.zpk 1 100
  mk big "" /tmp/big.zpk 10000 4000
  mk small "" /tmp/small.zpk 2 100'
installed_count() { ls "$ZR/var/lib/zpm/installed" | grep -vc '^\.'; }
zpm_bg() { zroot_run /usr/bin/zpm "$@" >>"$ART/desktop-zpm.log" 2>&1 </dev/null & ZPID=$!; }
zpm_rc() { poll "${1:-300}" bash -c "! kill -0 $ZPID 2>/dev/null" && wait "$ZPID"; }

zpm_bg -I top
if poll 300 window_of 800 && poll 100 drawn; then
  shot question-45
  check "the 45-package question (${W}x$H at $X,$Y) ends on the screen" on_screen
  xdotool mousemove $((X + W - 137)) $((Y + H - 22)) click 1 # Yes, beside No at the right
  if poll 300 window_of 400; then shot question-45-result; fi
  zpm_rc && pass "zpm goes on after Yes and ends with 0" || fail "zpm after Yes"
  check "Yes installed all 45 packages" [ "$(installed_count)" = 45 ]
else
  fail "no window for the 45-package question"
fi

# The progress window: shown a second after the start, photographed while it is there. Each
# call of zpm on a file name is held back 0.1 ms under strace, so that on a fast machine too the
# window stays long enough, in each step, to be seen to advance.
zroot_run strace -f -o /dev/null -e trace=%file -e inject=%file:delay_exit=100 \
  /usr/bin/zpm -f -I /tmp/big.zpk >>"$ART/desktop-zpm.log" 2>&1 </dev/null &
ZPID=$!
shots=0
if poll 300 window_of 500; then
  shot progress-screen
  while window_of 500 && [ "$shots" -lt 200 ]; do
    shots=$((shots + 1)); crop "$ART/desktop-progress-$shots.png"; sleep 0.3
  done
  poll 300 window_of 400 && shot progress-result
  # The result can take the progress window's id: the window is told by its width.
  check "the progress window closes at the end, before the result" eval '! window_of 500'
  # The last photograph may have been taken as the window went away.
  diff=$(compare -metric AE "$ART/desktop-progress-1.png" "$ART/desktop-progress-$((shots - 1)).png" \
    null: 2>&1)
  advanced() { [ "$shots" -ge 3 ] && [ "${diff%% *}" -gt 0 ] 2>/dev/null; }
  check "the progress window advances ($((shots - 1)) photographs, $diff pixels changed)" advanced
else
  fail "no progress window for the large package"
fi
zpm_rc && pass "the large install ends with 0" || fail "the large install"

zpm_bg -f -I /tmp/small.zpk
seen=""
while kill -0 "$ZPID" 2>/dev/null; do seen+=" $(windows | awk '{ print $2 }')"; sleep 0.1; done
zpm_rc
check "a short install shows only its 400 pixel result window (seen:$seen)" \
  bash -c "[ -n '${seen// /}' ] && ! grep -qw 500 <<<'$seen'"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
