#!/bin/bash
# What `cmake --install` gives the desktop, in a throwaway root: valid desktop entries, a MIME
# type that names package files (by name and by content) and opens them with the package
# installer, whose action, run as the desktop runs it, installs the file through pkexec; the
# polkit policy for exactly that program; the man pages and the shell completion.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"
source "$(dirname "$0")/txninstlib.sh"
for t in desktop-file-validate update-mime-database update-desktop-database gio xmllint; do
  command -v "$t" >/dev/null || { fail "$t is installed"; finish; }
done

txn_setup
DESTDIR=$ZR cmake --install "$ZPM_BUILD" >"$ZR/tmp/install.out" 2>&1 ||
  fail "cmake --install" "$(cat "$ZR/tmp/install.out")"
APP=/usr/local/share/applications/zpm-install.desktop
AUTO=/etc/xdg/autostart/attention-tray.desktop
POLICY=/usr/share/polkit-1/actions/org.zorvek.zpm.policy
for f in "$APP" "$AUTO"; do
  out=$(zroot_run desktop-file-validate "$f" 2>&1)
  check_eq "$f is valid, without a hint" "0 " "$? $out"
done
check "the MIME type is well-formed XML" xmllint --noout "$ZR/usr/local/share/mime/packages/zpm.xml"
# polkit ignores an action file its DTD refuses; polkitd ships the DTD.
check "the policy is valid for polkit" \
  xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$ZR$POLICY"
check_eq "the installer runs the installed zpm through pkexec" "pkexec /usr/local/bin/zpm -I %f" \
  "$(sed -n 's/^Exec=//p' "$ZR$APP")"
annotation() { xmllint --xpath "string(//annotate[@key=\"org.freedesktop.policykit.exec.$1\"])" "$ZR$POLICY"; }
check_eq "the policy lets pkexec run that zpm, with the display" "/usr/local/bin/zpm true" \
  "$(annotation path) $(annotation allow_gui)"
check_eq "attention-tray starts with the session" "attention-tray" "$(sed -n 's/^Exec=//p' "$ZR$AUTO")"
for p in man8/zpm.8 man5/zpm.conf.5 man1/zpk-build.1 man1/attention-tray.1 man3/zpc.3; do
  check "man page $p is installed" test -s "$ZR/usr/local/share/man/$p"
done
check "the completion is installed" test -s "$ZR/usr/local/share/bash-completion/completions/zpm"

# The desktop's view: its databases updated as a package's triggers would.
zroot_run update-mime-database /usr/local/share/mime
zroot_run update-desktop-database /usr/local/share/applications
# polkit's pkexec asks for an administrator's password; here, where the test is root, a
# stand-in runs the command and notes it.
printf '#!/bin/sh\necho "$*" >> /tmp/pkexec.log\nexec "$@"\n' > "$ZR/usr/bin/pkexec"
chmod 755 "$ZR/usr/bin/pkexec"
pkgsrc hello
pkgfile hello /usr/share/hello/greeting "Hello from the file manager"
mkdir -p "$ZR/home/user"
pkgbuild hello 1.0 '' /home/user/hello.zpk
cp "$ZR/home/user/hello.zpk" "$ZR/home/user/download.bin"
xdg() { zroot_run env XDG_DATA_HOME=/nonexistent XDG_DATA_DIRS=/usr/local/share:/usr/share "$@"; }
type_of() { xdg gio info -a standard::content-type "$1" | sed -n 's/.*content-type: //p'; }
check_eq "a .zpk is a zpm package" "application/x-zpk" "$(type_of /home/user/hello.zpk)"
check_eq "so is a package file of another name, by its content" "application/x-zpk" \
  "$(type_of /home/user/download.bin)"
check_eq "the installer opens it by default" "zpm-install.desktop" \
  "$(xdg gio mime application/x-zpk | sed -n 's/^Default application for .*x-zpk.*: //p')"
check_eq "xdg-mime agrees" "zpm-install.desktop" "$(xdg xdg-mime query default application/x-zpk)"
yad_reset
xdg gio launch "$APP" /home/user/hello.zpk
for _ in $(seq 100); do [ "$(yad_calls)" -ge 2 ] && break; sleep 0.1; done
check_eq "opening it ran pkexec with the installed zpm" "/usr/local/bin/zpm -I /home/user/hello.zpk" \
  "$(cat "$ZR/tmp/pkexec.log" 2>/dev/null)"
check_eq "zpm asked, then told the result" "dialog-question|/home/user/hello.zpk successfully installed
|" "$(sed -n 2p "$FY/1.args")|$(yad_text 2)"
check "and installed it" inv_has hello

finish
