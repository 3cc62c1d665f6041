#!/bin/bash
# zpm as `cmake --install` with the default prefix leaves it, in a throwaway root: it finds its
# back end, and a back end built out of tree against the installed header and pkg-config file
# serves a search and an install.  Also the symbols the shipped back end shows and takes.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/txnlib.sh"

# --- the shipped back ends: only their own functions out, only zpm's services in -----------
services=$(grep -oE '^  [a-z_0-9]+;' "$ZPM_SRC/src/zpm/backend-services.list" | tr -d ' ;' | sort)
while read -r name own; do
  so=$ZPM_BUILD/src/backends/${name%.so}/$name
  defined=$(nm -D --defined-only "$so" | awk '{print $3}' | LC_ALL=C sort | tr '\n' ' ')
  check_eq "$name defines the back-end functions and nothing else" "$own " "$defined"
  # Undefined symbols without a version come from the program that loads the back end.
  # (In a sanitized build, also the sanitizer runtime's entry points.)
  taken=$(nm -D --undefined-only "$so" | awk '$1 == "U" && $2 !~ /@/ {print $2}' |
    grep -Ev '^__(asan|ubsan|sanitizer|sancov|lsan)_' | sort)
  check_eq "what $name takes from zpm is among the exported services" "" \
    "$(comm -23 <(echo "$taken") <(echo "$services"))"
done <<'BACKENDS'
zpc-dirs.so zpc_abi_version zpc_connect zpc_findpkg zpc_readpkg zpc_refresh zpc_release
zpc-http.so zpc_abi_version zpc_connect zpc_findpkg zpc_prefetch zpc_readpkg zpc_refresh zpc_release
BACKENDS
exported=$(nm -D --defined-only "$ZPM_BUILD/src/zpm/zpm" | awk '$2 == "T" {print $3}' | sort)
if grep -qx '__asan_init' <<<"$exported"; then
  # A sanitized zpm also exports the runtime's interceptors (malloc, open, ...).
  check_eq "zpm exports the services" "$services" "$(comm -12 <(echo "$exported") <(echo "$services"))"
else
  check_eq "zpm exports exactly the services" "$services" "$exported"
fi

# --- install with the default prefix into a root that has no zpm ---------------------------
zroot_create
DESTDIR=$ZR cmake --install "$ZPM_BUILD" >"$ZR/tmp/install.out" 2>&1 ||
  fail "cmake --install" "$(cat "$ZR/tmp/install.out")"
zroot_fake_yad
ZPM_BIN=/usr/local/bin/zpm
zpm_run -L
check_eq "zpm -L runs with the installed back end" "0" "$RC"
check_not_contains "no back-end load failure" "Failed to load" "$ERR"
check "the sample configuration is in place" grep -q '^arch_name = ' "$ZR/etc/zpm.conf"
check "the HTTP back end and zpk-index are installed" \
  test -f "$ZR/usr/lib/zpm/zpc-http.so" -a -x "$ZR/usr/local/bin/zpk-index"
check "the inventory skeleton is in place" test -d "$ZR/var/lib/zpm/installed" -a \
  -L "$ZR/var/lib/zpm/scriptdir/ash" -a -d "$ZR/var/lib/zpm/certstore"
echo "# left alone" >> "$ZR/etc/zpm.conf"
DESTDIR=$ZR cmake --install "$ZPM_BUILD" >/dev/null 2>&1
check "a second install keeps the configuration" grep -q '^# left alone' "$ZR/etc/zpm.conf"

# --- a back end built out of tree: search and install through it --------------------------
txn_keys
pkgsrc hello
pkgfile hello /usr/share/hello/greeting "Hello from elsewhere"
mkdir -p "$ZR/srv/example"
pkgbuild hello 1.0 "" /srv/example/hello.zpk
cp "$ZPM_SRC/tests/sdk/zpc-example.c" "$ZR/tmp/"
build_example() { # output name, extra compiler flags
  zroot_run sh -c "cc -shared -fPIC -Wall -Werror \$(pkg-config --cflags zpm-zpc) $2 \
    -o /tmp/$1 /tmp/zpc-example.c && install -m 0644 /tmp/$1 \$(pkg-config --variable=backenddir zpm-zpc)/"
}
check "the example back end builds against the installed header" build_example zpc-example.so ""
printf 'zpc_backend=zpc-example.so\nexample_dir=/srv/example\nzpm_loglevel=7\n' >> "$ZR/etc/zpm.conf"
yad_reset
zpm_run -S
check_eq "a search through it succeeds" "0" "$RC"
check_contains "the search lists the package" "hello" "$(yad_stdin 1)"
zpm_run -f -I hello
check_eq "an install through it succeeds" "0" "$RC"
check_eq "the file is installed" "Hello from elsewhere" "$(content /usr/share/hello/greeting)"
check "the back end's own messages reach zpm's log" log_has "zpc-example: delivered hello_x86_64_1.0"

check "a back end of a newer interface builds" build_example zpc-newer.so "-DEXAMPLE_ABI=2"
sed -i 's/^zpc_backend=.*/zpc_backend=zpc-newer.so/' "$ZR/etc/zpm.conf"
zpm_run -L
check_eq "a back end of a newer interface is refused" "2" "$RC"
check_contains "and the refusal names both versions" \
  "needs back-end interface 2, this zpm has 1" "$ERR"
finish
