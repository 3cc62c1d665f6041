#!/bin/bash
# Building an image with -o root=DIR: a package with its dependencies, scripts, links and a
# shared library is installed from a repository into an empty directory, listed and removed
# there.  Scripts run chrooted into the image and see its paths from inside, ldconfig works on
# the image, and the host's /etc, /var/lib/zpm, /usr/lib/zpm stay exactly as they were.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"

txn_setup
echo "zpc_dirs=$REPO" >> "$ZR/etc/zpm.conf"
IMG=/tmp/image
mkdir "$ZR$IMG"

# base: the shell that the scripts of the later packages run under, with what it needs.
pkgsrc base
for f in /bin/busybox /lib/x86_64-linux-gnu/libc.so.6 /lib/x86_64-linux-gnu/libresolv.so.2 \
         /lib/x86_64-linux-gnu/ld-linux-x86-64.so.2; do
  install -D -m 0755 "$f" "$ZR/tmp/pkgsrc/base/data$f"
done
pkginfo base link.txt '/var/lib/zpm/scriptdir||
|/bin/busybox|ash
/lib64||
|/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2|ld-linux-x86-64.so.2
'
pkgbuild base 1.0 "" $REPO/base.zpk
pkgsrc libgreet
printf 'int greet(void) { return 42; }\n' > "$ZR/tmp/greet.c"
mkdir -p "$ZR/tmp/pkgsrc/libgreet/data/usr/lib"
cc -shared -fPIC -Wl,-soname,libgreet.so.1 -o "$ZR/tmp/pkgsrc/libgreet/data/usr/lib/libgreet.so.1" "$ZR/tmp/greet.c"
pkginfo libgreet link.txt '/usr/lib||
|libgreet.so.1|libgreet.so
'
pkgbuild libgreet 1.0 "" $REPO/libgreet.zpk
pkgsrc hello; pkgfile hello /usr/bin/hello hi 0755
pkginfo hello perm.txt '/usr/bin/hello|0711
'
pkgscript hello 00-add.sh 'echo "pre $ZPK_STAGE_NEW $(pwd)" >> /var/log/hello-scripts'
pkgscript hello 99-add.sh 'echo "post $PATH" >> /var/log/hello-scripts'
pkgbuild hello 1.0 libgreet,base $REPO/hello.zpk

host_state() {
  (cd "$ZR" && find etc var/lib/zpm usr/lib/zpm -printf '%p %y %m %s %T@ %l\n' | sort
   find etc var/lib/zpm usr/lib/zpm -type f -print0 | sort -z | xargs -0 sha1sum)
}
zpm_run -R # the repository's index exists before, as on a host that serves it
before=$(host_state)
yad_reset

zpm_run -f -o root=$IMG -I hello
check_eq "install: exit status" 0 "$RC"
check "install: result shown" grep -qx -- "hello successfully installed" "$FY/1.args"
for p in base libgreet hello; do check "$p registered in the image" test -f "$ZR$IMG$INV/installed/$p/inst.txt"; done
check_eq "files in the image" "hi" "$(cat "$ZR$IMG/usr/bin/hello")"
check_eq "permission list applied in the image" 711 "$(stat -c %a "$ZR$IMG/usr/bin/hello")"
check_eq "link list applied in the image" libgreet.so.1 "$(readlink "$ZR$IMG/usr/lib/libgreet.so")"
check_eq "scripts ran chrooted, seeing the image's paths" \
  "pre $INV/stagearea/hello_x86_64_1.0/new $INV/scriptdir
post $INV/scriptdir" "$(cat "$ZR$IMG/var/log/hello-scripts")"
check "ldconfig -r made the image's cache" grep -q libgreet.so.1 "$ZR$IMG/etc/ld.so.cache"
check "the image's log" grep -q "Installation of hello_x86_64_1.0 succeeded" "$ZR$IMG/var/log/zpm.log"

yad_reset
zpm_run -o root=$IMG -L
check_eq "list of the image" "base
hello
libgreet" "$(yad_stdin 1 | sed -n '2p;7p;12p')"
yad_reset
zpm_run -f -o root=$IMG -D hello
check_eq "remove: exit status" 0 "$RC"
check "removed from the image" test ! -e "$ZR$IMG/usr/bin/hello"
check "its dependency too, with its link" test ! -e "$ZR$IMG/usr/lib/libgreet.so"
check_eq "nothing left registered" "" "$(ls "$ZR$IMG$INV/installed")"

check_eq "the host's /etc, /var/lib/zpm, /usr/lib/zpm unchanged" "" \
  "$(diff <(echo "$before") <(host_state))"
check "no script ran on the host" test ! -e "$ZR/var/log/hello-scripts"
zpm_run -o root=/tmp/none -L
check_eq "a target root that is no directory" "1 Target root /tmp/none is not a directory" "$RC $ERR"
finish
