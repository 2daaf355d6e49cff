#!/usr/bin/env bash
# Side-by-side HTTP figures for the running service, measured in one run so
# that ratios (not absolute times) carry over between machines:
#   the poll route from 5,000 distinct device tokens vs GET /api/version,
#   a 401 request, and the same over HTTPS (full handshakes and resumed);
#   then nginx (installed from Debian on first use, benchmark only) serving a
#   static file over HTTPS on loopback with the same certificate and client,
#   as the yardstick for the handshake rates.
#
#   bench/http_bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=$(realpath "${1:-build}")
seconds=${2:-10}
work=$(mktemp -d)
nginx_pid=""
trap 'kill $server_pid $nginx_pid 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

"$build/tools/make_demo_install" --folder "$work" --devices 5000 >/dev/null
awk '$1=="device"{print $3}' "$work/data/demo-credentials.txt" > "$work/device-tokens.txt"
echo "not-a-credential" > "$work/bad-token.txt"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

start_server() {  # extra server arguments...
  "$build/dist/server" --config "$work/data/config.json" --db "$work/data/core.sqlite3" --port 0 "$@" \
    > "$work/console.txt" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    port=$(sed -n 's/.*:\/\/127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$work/console.txt" | head -1)
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "server did not start" >&2; cat "$work/console.txt" >&2; exit 1
}
stop_server() { kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; }

load() {  # label, loadgen arguments...
  local label=$1; shift
  "$build/bench/loadgen" --host 127.0.0.1 --port "$port" --concurrency 50 --seconds "$seconds" "$@" | sed "s/^/${label}_/"
}

start_server
load version --path /api/version
load poll --path /api/agent/poll --tokens "$work/device-tokens.txt" --header "X-Halvenor-Agent-Capability: live-desktop-v1"
load unauthorized --path /api/state --tokens "$work/bad-token.txt"
echo "server_rss_kib $(awk '/VmRSS/{print $2}' /proc/$server_pid/status)"
stop_server

start_server --cert "$work/cert.pem" --key "$work/key.pem"
load https_version --tls --ca "$work/cert.pem" --path /api/version
load https_version_resumed --tls --ca "$work/cert.pem" --resume --path /api/version
# TLS 1.2 resumption, as the desktop agent negotiates it: no key exchange.
load https_version_resumed_tls12 --tls --ca "$work/cert.pem" --resume --tls12 --path /api/version
load https_poll --tls --ca "$work/cert.pem" --resume --tls12 --path /api/agent/poll --tokens "$work/device-tokens.txt"
stop_server

# The yardstick: nginx with one worker per core, TLS 1.2+ with session tickets.
if ! command -v nginx >/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get install -y --no-install-recommends nginx-light >/dev/null 2>&1 ||
    $SUDO apt-get install -y --no-install-recommends nginx >/dev/null
fi
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/nginx/html" "$work/nginx/tmp"
echo '{"version": "static"}' > "$work/nginx/html/version"
# nginx's workers run as an unprivileged user when started as root: let them
# reach the page (and nothing else) in the otherwise private work folder.
chmod o+x "$work" "$work/nginx"
chmod o+rx "$work/nginx/html" && chmod o+r "$work/nginx/html/version"
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
daemon off;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx/tmp;
  proxy_temp_path $work/nginx/tmp;
  fastcgi_temp_path $work/nginx/tmp;
  uwsgi_temp_path $work/nginx/tmp;
  scgi_temp_path $work/nginx/tmp;
  server {
    listen 127.0.0.1:$nginx_port ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_tickets on;
    ssl_session_cache shared:tls:10m;
    keepalive_timeout 0;
    root $work/nginx/html;
  }
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
sleep 1
port=$nginx_port
load nginx_https_static --tls --ca "$work/cert.pem" --path /version
load nginx_https_static_resumed --tls --ca "$work/cert.pem" --resume --path /version
load nginx_https_static_resumed_tls12 --tls --ca "$work/cert.pem" --resume --tls12 --path /version
kill "$nginx_pid"; wait "$nginx_pid" 2>/dev/null || true; nginx_pid=""
echo "load_average $(cut -d' ' -f1-3 /proc/loadavg)"
