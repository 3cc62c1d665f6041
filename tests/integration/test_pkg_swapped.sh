#!/bin/bash
# A package file changed while zpm asks whether to install it, after the planning read it: a
# damaged file of the same size written over it in place, or renamed over it, its modification
# time put back each time, or changed through a shared mapping (which on tmpfs leaves its times
# as they were). What the planning learnt of the file must not vouch for what is then
# copied into the stage: the install is refused and leaves nothing. The damage (the gzip
# trailer) leaves a payload that unpacks whole; only the signature tells. The unchanged file
# installs with its payload read once for the signature.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"

txn_setup
P=/tmp/pkgs
mkdir -p "$ZR$P"
mount -t tmpfs pkgs "$ZR$P"
pkgsrc sw
pkgfile sw /opt/sw/f "the signed content"
pkgbuild sw 1.0 '' $P/sw.zpk
size=$(stat -c %s "$ZR$P/sw.zpk")
cp "$ZR$P/sw.zpk" "$ZR$P/damaged.zpk"
byte=$(od -An -tu1 -j $((size - 8)) -N1 "$ZR$P/sw.zpk")
printf "\\$(printf %03o $((byte ^ 0x5a)))" |
  dd of="$ZR$P/damaged.zpk" bs=1 seek=$((size - 8)) conv=notrunc status=none

# The dialog program runs the change, when one is staged, at the question.
mv "$ZR/usr/bin/yad" "$ZR/usr/bin/yad.fake"
cat > "$ZR/usr/bin/yad" <<'EOF'
#!/bin/sh
case "$*" in *"Do you want to continue"*) [ -f /tmp/swap.sh ] && sh /tmp/swap.sh; rm -f /tmp/swap.sh ;; esac
exec /usr/bin/yad.fake "$@"
EOF
chmod 0755 "$ZR/usr/bin/yad"

in_place="touch -r $P/t.zpk /tmp/t.time; cat $P/damaged.zpk > $P/t.zpk; touch -r /tmp/t.time $P/t.zpk"
replaced="cp $P/damaged.zpk $P/t.new; touch -r $P/t.zpk $P/t.new; mv $P/t.new $P/t.zpk"
# Through a mapping made (and its page dirtied) before the planning: the change at the question
# is made by map-write, outside, once told to.
mapped="touch /tmp/go; while [ -e /tmp/go ]; do sleep 0.1; done"
for c in "in place|$in_place|1" "replaced|$replaced|1" "mapped|$mapped|1" "unchanged||0"; do
  IFS='|' read -r what change refused <<<"$c"
  cp "$ZR$P/sw.zpk" "$ZR$P/t.zpk"
  [ -z "$change" ] || printf '%s\n' "$change" > "$ZR/tmp/swap.sh"
  mapper=
  if [ "$what" = mapped ]; then
    "$ZPM_BUILD/tests/map-write" "$ZR$P/t.zpk" $((size - 8)) "$ZR/tmp/go" &
    mapper=$!
  fi
  sleep 1 # the planning remembers only a file last changed before the clock's current tick
  : > "$ZR/var/log/zpm.log"
  before=$(stat -c %y%z "$ZR$P/t.zpk")
  zpm_ask "0" -I $P/t.zpk
  [ -z "$mapper" ] || wait "$mapper"
  [ "$what" != mapped ] || check_eq "mapped: the file's times were left as they were" "$before" \
    "$(stat -c %y%z "$ZR$P/t.zpk")"
  if [ "$refused" = 1 ]; then
    check "$what: the change was made at the question" cmp -s "$ZR$P/damaged.zpk" "$ZR$P/t.zpk"
    check_contains "$what: the install is refused" "Failure installing $P/t.zpk, rc: -1" \
      "$(yad_text 2)"
    check "$what: nothing is installed" test ! -e "$ZR/opt/sw/f" -a ! -e "$ZR$INV/installed/sw"
    check "$what: the copy in the stage failed its signature check" \
      log_has "Failure verifying signature of $INV/stagearea/sw_x86_64_1.0.zpk"
  else
    check_eq "$what: installed" "the signed content" "$(content /opt/sw/f)"
    check "$what: the unpacking did not read the payload for the signature again" \
      log_has "the payload is the one verified before"
  fi
done

finish
