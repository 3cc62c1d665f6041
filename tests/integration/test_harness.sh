#!/bin/bash
# The throwaway root and the fake yad themselves: writes inside the root never reach the host,
# and the fake yad records arguments and input exactly and answers from its script.
source "$(dirname "$0")/lib.sh"

host_state() {
  ls -la --time-style=+%s /etc/zpm.conf /var/lib/zpm /usr/lib/zpm /var/log/zpm.log 2>&1 | sort
}
before=$(host_state)

zroot_create
zroot_fake_yad
zroot_run sh -c 'mkdir -p /var/lib/zpm/installed /usr/lib/zpm && echo arch_name=x86_64 > /etc/zpm.conf'
check "writes land inside the root" test -f "$ZR/etc/zpm.conf"

hostile=$'it\'s "quoted" $(touch /tmp/pwned) `touch /tmp/pwned2`; echo no\nsecond line'
zroot_run yad --text-info --title="$hostile" <<<"body text" >/dev/null
check_eq "argument recorded as given" "--title=$hostile" "$(sed -n 2,3p "$FY/1.args")"
check_eq "exact argument form" "--title=$hostile" "$(tr '\0' '\n' < "$FY/1.args0" | sed -n 2,3p)"
check_eq "standard input recorded" "body text" "$(yad_stdin 1)"
check "nothing ran from the text" test ! -e "$ZR/tmp/pwned" -a ! -e "$ZR/tmp/pwned2"

yad_answers "1" "0 3|"
zroot_run yad --form >/dev/null; rc1=$?
out=$(zroot_run yad --list </dev/null); rc2=$?
check_eq "scripted status" "1 0" "$rc1 $rc2"
check_eq "scripted output" "3|" "$out"
check_eq "version probe answers" "0.40.0 (GTK+ 3.24.38)" "$(zroot_run yad --version)"
touch "$FY/noversion"
check_eq "broken yad prints no version" "" "$(zroot_run yad --version)"
check_eq "version probes are not numbered as calls" "2" "$(yad_calls)"

# Sanitizer options reach the root despite env -i, and a report any process there writes
# fails the test, once.
check_eq "sanitizer options reach the root" "detect_leaks=1:log_path=$ZROOT_SANITIZER_LOG/report" \
  "$(ASAN_OPTIONS=detect_leaks=1 zroot_run sh -c 'echo "$ASAN_OPTIONS"')"
echo "==1==ERROR: AddressSanitizer: planted" > "$ZR$ZROOT_SANITIZER_LOG/report.1"
check_eq "a sanitizer report fails the test" 1 "$(FAILED=0; sanitizer_check planted >/dev/null; echo "$FAILED")"
check "and is reported once" test ! -e "$ZR$ZROOT_SANITIZER_LOG/report.1"

check_eq "host left as it was" "$before" "$(host_state)"
finish
