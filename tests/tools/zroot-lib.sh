# Throwaway roots for running the real zpm with its real fixed paths.
#
# Source this file from a bash script.  The first call of zroot_enter re-executes the script
# in a private mount namespace (unshare -m); zroot_create then builds the root:
#   a tmpfs, an overlay of / on it (upper and work dirs on the tmpfs), /proc and /dev bound.
# Whatever zpm writes inside lands in the tmpfs; the namespace, and with it every mount,
# goes away when the script ends, and the outer process then removes the directories the
# mounts were made on ($ZROOT_TMP).  The host's /etc, /var/lib/zpm and /usr/lib/zpm are never
# written.
#
#   zroot_enter "$@"          first line of a test script (re-exec under unshare)
#   zroot_create              sets ZR to the root directory (fixed zpm paths emptied)
#   zroot_install BUILD       installs zpm, zpk-build, zpk-index, the back ends and test plug-ins
#                             from a build
#   zroot_fake_yad            puts tests/tools/fake-yad in place of yad; FY = its state dir
#                             as seen from outside (inside the root: /var/tmp/fake-yad)
#   zroot_run CMD...          runs CMD inside the root (chroot, clean environment but for
#                             the sanitizer options)
#   zroot_run_as UID CMD...   the same as another user

ZROOT_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

zroot_enter() {
  if [ -z "${ZROOT_NS:-}" ]; then
    if [ "$(id -u)" != 0 ]; then
      echo "zroot: needs root (unshare -m, mount)" >&2
      exit 1
    fi
    export ZROOT_NS=1
    # Not exec: the mount points are plain empty directories out here, and only out here
    # can they be removed once the namespace is gone.
    ZROOT_TMP=$(mktemp -d /tmp/zroot.XXXXXX) && chmod 0755 "$ZROOT_TMP"
    export ZROOT_TMP
    local rc=0
    unshare -m --propagation private bash "$0" "$@" || rc=$?
    rm -rf --one-file-system "$ZROOT_TMP"
    exit "$rc"
  fi
}

zroot_create() {
  [ -n "${ZROOT_NS:-}" ] || { echo "zroot: call zroot_enter first" >&2; exit 1; }
  ZR_BASE=$(mktemp -d "${ZROOT_TMP:-/tmp}/zroot.XXXXXX")
  mount -t tmpfs -o size=4g,mode=0755 zroot "$ZR_BASE"
  mkdir -p "$ZR_BASE/upper" "$ZR_BASE/work" "$ZR_BASE/root"
  mount -t overlay overlay \
    -o "lowerdir=/,upperdir=$ZR_BASE/upper,workdir=$ZR_BASE/work" "$ZR_BASE/root"
  mount --rbind /proc "$ZR_BASE/root/proc"
  mount --rbind /dev "$ZR_BASE/root/dev"
  # The X server's sockets, for the tests and the demonstration that use real yad.
  if [ -d /tmp/.X11-unix ]; then
    mkdir -p "$ZR_BASE/root/tmp/.X11-unix"
    mount --bind /tmp/.X11-unix "$ZR_BASE/root/tmp/.X11-unix"
  fi
  ZR=$ZR_BASE/root
  # Start from a system without zpm: none of the host's zpm state shows through.
  rm -rf "$ZR/var/lib/zpm" "$ZR/usr/lib/zpm" "$ZR/etc/zpm.conf" "$ZR/var/log/zpm.log" \
         "$ZR/var/tmp/fake-yad"
  mkdir -p "$ZR/tmp" && chmod 1777 "$ZR/tmp"
  if [ -n "${ZROOT_SANITIZER_LOG:-}" ]; then
    rm -rf "${ZR:?}$ZROOT_SANITIZER_LOG"
    mkdir -p -m 1777 "$ZR$ZROOT_SANITIZER_LOG"
  fi
  export ZR
}

# A minimal working system: inventory directories, the script shell, a configuration.
zroot_install() {
  local build=$1
  install -m 0755 "$build/src/zpm/zpm" "$ZR/usr/bin/zpm"
  [ -x "$build/src/zpk-build/zpk-build" ] && install -m 0755 "$build/src/zpk-build/zpk-build" "$ZR/usr/bin/zpk-build"
  [ -x "$build/src/zpk-index/zpk-index" ] && install -m 0755 "$build/src/zpk-index/zpk-index" "$ZR/usr/bin/zpk-index"
  mkdir -p "$ZR/usr/lib/zpm"
  [ -f "$build/src/backends/zpc-dirs/zpc-dirs.so" ] && install -m 0644 "$build/src/backends/zpc-dirs/zpc-dirs.so" "$ZR/usr/lib/zpm/"
  [ -f "$build/src/backends/zpc-http/zpc-http.so" ] && install -m 0644 "$build/src/backends/zpc-http/zpc-http.so" "$ZR/usr/lib/zpm/"
  local p
  for p in "$build"/tests/zpc_test_*.so; do
    [ -f "$p" ] && install -m 0644 "$p" "$ZR/usr/lib/zpm/"
  done
  mkdir -p "$ZR/var/lib/zpm/installed" "$ZR/var/lib/zpm/fileindex" "$ZR/var/lib/zpm/stagearea" \
           "$ZR/var/lib/zpm/scriptdir" "$ZR/var/lib/zpm/certstore"
  ln -sf /bin/busybox "$ZR/var/lib/zpm/scriptdir/ash"
  cat > "$ZR/etc/zpm.conf" <<CONF
arch_name=x86_64
dist_name=zorvek
dist_vers=1.0
zpm_vers=1.0.24
zpm_loglevel=7
CONF
}

zroot_fake_yad() {
  install -m 0755 "$ZROOT_TOOLS/fake-yad" "$ZR/usr/bin/yad"
  mkdir -p "$ZR/var/tmp/fake-yad"
  FY=$ZR/var/tmp/fake-yad
  export FY
  # With ZPM_DIALOG_RECORD (a directory outside the root), every dialog is also recorded there,
  # in one file per test script.
  if [ -n "${ZPM_DIALOG_RECORD:-}" ]; then
    mkdir -p "$ZR/var/tmp/dialog-record"
    mount --bind "$ZPM_DIALOG_RECORD" "$ZR/var/tmp/dialog-record"
    basename "$0" .sh > "$ZR/var/tmp/dialog-record.name"
  fi
}

# env -i keeps the host's environment out of the root, but not the sanitizer options of a
# sanitized build.  With ZROOT_SANITIZER_LOG (a directory inside the root, made by
# zroot_create) every report is written there as a file instead of to standard error, so
# none is lost with an output a test discards (the integration tests look there).
zroot_san_env() { # [traced]: the command runs under ptrace (strace), where LeakSanitizer cannot
  local v val
  for v in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
    val=${!v:-}
    if [ -n "${ZROOT_SANITIZER_LOG:-}" ] && [ "$v" != LSAN_OPTIONS ]; then
      val="${val:+$val:}log_path=$ZROOT_SANITIZER_LOG/report"
    fi
    if [ "${1:-}" = traced ] && [ "$v" = ASAN_OPTIONS ]; then
      val="${val:+$val:}detect_leaks=0"
    fi
    [ -n "$val" ] && printf '%s\n' "$v=$val"
  done
  return 0
}

zroot_run() {
  local san
  mapfile -t san < <(zroot_san_env "$([ "${1:-}" = strace ] && echo traced)")
  chroot "$ZR" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
    HOME=/root LC_ALL=C TZ=UTC ${DISPLAY:+DISPLAY=$DISPLAY} "${san[@]}" "$@"
}

zroot_run_as() {
  local uid=$1 san; shift
  mapfile -t san < <(zroot_san_env)
  chroot --userspec="$uid:$uid" "$ZR" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin \
    HOME=/tmp LC_ALL=C TZ=UTC "${san[@]}" "$@"
}
