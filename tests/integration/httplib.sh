# shellcheck shell=bash
# Helpers of the tests of remote repositories: a private network namespace with loopback up,
# nginx serving directories of the throwaway root, a test CA, and signed repositories.
# Source FIRST (before lib.sh): it re-executes the test in a network namespace of its own.
#
#   nginx_start NAME PORT DIR [tls] [DIRECTIVES]   nginx serving DIR (outside path) on
#                                     127.0.0.1:PORT; with tls over https with the server
#                                     certificate of the test CA; DIRECTIVES go into its server;
#                                     stopped at exit by PID
#   nginx_log NAME                    its access log
#   fault_server_start PORT DIR MODE  tests/tools/http-fault-server (stall, long) on PORT
#   test_ca                           a CA ($CA/ca.crt) and a server certificate for 127.0.0.1,
#                                     and a second CA that signed nothing ($CA/other.crt)
#   repo_publish DIR [zpk-index options]   zpk-index --sign with the test signer, in the root
#   http_conf MIRRORS [KEY=VALUE...]  zpm.conf of the root: zpc-http.so and these mirrors
#   craft_sig DIR GENERATED VALID_UNTIL [KEY CERT]   signs DIR/index.ldif (root path) with the
#                                     test signer (or KEY, CERT: outside paths), with times of our
#                                     choosing (UTC "YYYY-MM-DDThh:mm:ssZ")
PATH=$PATH:/usr/sbin:/sbin # nginx, ip, tc
if [ -z "${ZPM_HTTP_NETNS:-}" ]; then
  export ZPM_HTTP_NETNS=1
  exec unshare -n bash "$0" "$@"
fi
ip link set lo up

SERVER_PIDS=()
HTTP_TMP=$(mktemp -d /tmp/zpm-http.XXXXXX)
chmod 755 "$HTTP_TMP"
http_cleanup() {
  local p
  for p in "${SERVER_PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${SERVER_PIDS[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$HTTP_TMP"
}
trap http_cleanup EXIT

# Waits until something accepts connections on 127.0.0.1:PORT (at most 5 s).
wait_port() {
  local i
  for ((i = 0; i < 50; i++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}

nginx_start() {
  local name=$1 port=$2 dir=$3 tls=${4:-} extra=${5:-} d=$HTTP_TMP/nginx-$1 listen
  mkdir -p "$d"
  listen="listen 127.0.0.1:$port;"
  [ -n "$tls" ] && listen="listen 127.0.0.1:$port ssl;
    ssl_certificate $CA/server.crt; ssl_certificate_key $CA/server.key;"
  cat > "$d/nginx.conf" <<CONF
daemon off;
master_process on;
worker_processes 1;
user root;
pid $d/nginx.pid;
error_log $d/error.log warn;
events { worker_connections 256; }
http {
  access_log $d/access.log;
  client_body_temp_path $d/body; proxy_temp_path $d/proxy; fastcgi_temp_path $d/fastcgi;
  uwsgi_temp_path $d/uwsgi; scgi_temp_path $d/scgi;
  default_type application/octet-stream;
  keepalive_requests 10000;
  server { $listen root $dir; $extra }
}
CONF
  nginx -p "$d" -e "$d/error.log" -c "$d/nginx.conf" &
  SERVER_PIDS+=($!)
  wait_port "$port"
}

fault_server_start() {
  python3 "$ZPM_SRC/tests/tools/http-fault-server" "$1" "$2" "$3" 2>"$HTTP_TMP/fault-$1.log" &
  SERVER_PIDS+=($!)
  wait_port "$1"
}

nginx_log() { cat "$HTTP_TMP/nginx-$1/access.log" 2>/dev/null; }

test_ca() {
  CA=$HTTP_TMP/ca
  mkdir -p "$CA"
  (cd "$CA" &&
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 \
      -subj '/CN=Zorvek Test CA' 2>/dev/null &&
    openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.crt -days 2 \
      -subj '/CN=Some Other CA' 2>/dev/null &&
    openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr \
      -subj '/CN=127.0.0.1' 2>/dev/null &&
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' > san.ext &&
    openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
      -extfile san.ext -out server.crt 2>/dev/null) || fail "test CA"
}

repo_publish() {
  local dir=$1; shift
  zroot_run zpk-index --sign "$KEYS/signer.key" --cert "$KEYS/signer.crt" "$@" "$dir" >/dev/null \
    || fail "zpk-index --sign $dir"
}

http_conf() {
  local mirrors=$1; shift
  sed -i '/^zpc_/d' "$ZR/etc/zpm.conf"
  { echo "zpc_backend=zpc-http.so"; echo "zpc_http_mirrors=$mirrors"; printf '%s\n' "$@"; } \
    >> "$ZR/etc/zpm.conf"
}

craft_sig() {
  local dir=$ZR$1 key=${4:-$ZR$KEYS/signer.key} cert=${5:-$ZR$KEYS/signer.crt} text
  text="# zpm index signature 1
index: index.ldif
sha256: $(sha256sum < "$dir/index.ldif" | cut -d' ' -f1)
size: $(stat -c %s "$dir/index.ldif")
generated: $2
valid-until: $3
signer: $(openssl x509 -noout -subject -nameopt compat -in "$cert" | sed 's/^subject=//')
"
  printf '%s' "$text" > "$dir/index.ldif.sig"
  printf 'signature: %s\n' "$(printf '%s' "$text" | openssl dgst -sha256 -sign "$key" | base64 -w0)" \
    >> "$dir/index.ldif.sig"
}
