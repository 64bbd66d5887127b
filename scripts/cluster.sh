#!/usr/bin/env bash
# Several canvas servers as one service, on this machine: a PostgreSQL cluster in a data
# folder of its own (initdb on first use), INSTANCES velmorastra-server processes on it, and
# nginx in front on 127.0.0.1:8640 with keep-alive to them. Clients and the bot use
# http://127.0.0.1:8640/ unchanged. Ctrl+C stops everything this script started.
#
#   scripts/cluster.sh [--instances N] [--port PORT] [--data DIR] [--tls [--cert FILE --key FILE]]
#
# The data folder (default: /var/lib/velmorastra/cluster as root, else
# ~/.local/share/Velmorastra/cluster) keeps the database between runs. Everything listens on
# 127.0.0.1 only. --tls: nginx speaks https with a self-signed certificate for 127.0.0.1 and
# localhost, made into DATA/tls/cert.pem on first use (clients trust it with --ca-file), or
# with the PEM certificate chain and key given; the instances behind it stay plain HTTP.
# VELMO_SERVER_BIN=FILE runs that server binary instead of building one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

instances=2
port=8640
tls=0
cert=""
key=""
if [ "$(id -u)" -eq 0 ]; then
  data=/var/lib/velmorastra/cluster
else
  data=${XDG_DATA_HOME:-$HOME/.local/share}/Velmorastra/cluster
fi
while [ $# -gt 0 ]; do
  case $1 in
    --instances) instances=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --data) data=$2; shift 2 ;;
    --tls) tls=1; shift ;;
    --cert) tls=1; cert=$2; shift 2 ;;
    --key) tls=1; key=$2; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "cluster.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ $instances =~ ^[1-9][0-9]*$ ]] || { echo "cluster.sh: --instances needs a number" >&2; exit 2; }
if [ -n "$cert$key" ]; then
  [ -n "$cert" ] && [ -n "$key" ] || { echo "cluster.sh: --cert and --key go together" >&2; exit 2; }
  [ -r "$cert" ] && [ -r "$key" ] || { echo "cluster.sh: cannot read $cert or $key" >&2; exit 2; }
  cert=$(realpath "$cert")
  key=$(realpath "$key")
fi
scheme=http
[ "$tls" = 1 ] && scheme=https

packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libcairo2-dev libpng-dev libboost-dev libsqlite3-dev libssl-dev
          libpq-dev postgresql-15 nginx-light qt6-base-dev qt6-base-dev-tools libgl-dev python3
          curl openssl)
./scripts/install-packages.sh "${packages[@]}"

build=${VELMO_BUILD_DIR:-build-run}
if [ -n "${VELMO_SERVER_BIN:-}" ]; then
  server_bin=$(realpath "$VELMO_SERVER_BIN")
else
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_BENCH=OFF
  fi
  cmake --build "$build" --target velmorastra-server
  server_bin=$root/$build/server/velmorastra-server
fi

. scripts/lib/postgres.sh
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

mkdir -p "$data"
if [ "$tls" = 1 ] && [ -z "$cert" ]; then
  # Kept between runs, so a client told to trust it goes on trusting it; made afresh a day
  # before it ends.
  cert=$data/tls/cert.pem
  key=$data/tls/key.pem
  if ! openssl x509 -in "$cert" -noout -checkend 86400 >/dev/null 2>&1 || [ ! -f "$key" ]; then
    mkdir -p "$data/tls"
    (umask 077 && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -days 365 -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
      -keyout "$key" -out "$cert" 2>"$data/tls/openssl.log") ||
      { cat "$data/tls/openssl.log" >&2; exit 1; }
    echo "cluster.sh: made a self-signed certificate $cert"
  fi
fi
run=$(mktemp -d)
pids=()
stop_all() {
  trap - INT TERM EXIT
  echo "cluster.sh: stopping"
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pg_stop
  rm -rf "$run"
}
trap stop_all EXIT
trap 'exit 130' INT TERM

pg_start "$data/postgres" "$(free_port)"
db_uri=$(pg_uri velmorastra)
echo "cluster.sh: PostgreSQL on 127.0.0.1:$pg_port, data in $data/postgres"

upstreams=""
for i in $(seq "$instances"); do
  log=$data/instance-$i.log
  : >"$log"
  "$server_bin" --listen 127.0.0.1:0 --db "$db_uri" --public-url "$scheme://127.0.0.1:$port/" \
    --trusted-proxy 127.0.0.1 2>>"$log" &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q "listening on" "$log" && break
    kill -0 "${pids[-1]}" 2>/dev/null || { cat "$log" >&2; exit 1; }
    sleep 0.1
  done
  address=$(sed -n 's|.*listening on http://\(127.0.0.1:[0-9]*\)/.*|\1|p' "$log" | tail -n 1)
  [ -n "$address" ] || { cat "$log" >&2; exit 1; }
  echo "cluster.sh: instance $i on $address (log: $log)"
  upstreams+="    server $address;"$'\n'
done

listen="listen 127.0.0.1:$port;"
forwarded_proto=""
if [ "$tls" = 1 ]; then
  listen="listen 127.0.0.1:$port ssl;
    ssl_certificate $cert;
    ssl_certificate_key $key;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache shared:velmorastra:10m;"
  forwarded_proto="proxy_set_header X-Forwarded-Proto https;"
fi

mkdir -p "$run/nginx"
cat >"$run/nginx.conf" <<CONF
worker_processes auto;
daemon off;
pid $run/nginx.pid;
error_log $data/nginx-error.log;
events { worker_connections 8192; }
http {
  access_log off;
  client_body_temp_path $run/nginx/body;
  proxy_temp_path $run/nginx/proxy;
  fastcgi_temp_path $run/nginx/fastcgi;
  uwsgi_temp_path $run/nginx/uwsgi;
  scgi_temp_path $run/nginx/scgi;
  client_max_body_size 9m;
  upstream velmorastra {
$upstreams    keepalive 64;
  }
  server {
    $listen
    location / {
      proxy_pass http://velmorastra;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host \$host;
      proxy_set_header X-Forwarded-For \$remote_addr;
      $forwarded_proto
      # A resent command is harmless (appends are idempotent), so a failed instance's
      # requests go to the next one.
      proxy_next_upstream error timeout http_502 http_503 non_idempotent;
    }
    # Event streams stay open for minutes and must reach the client at once.
    location /events/ {
      proxy_pass http://velmorastra;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header X-Forwarded-For \$remote_addr;
      $forwarded_proto
      proxy_buffering off;
      proxy_read_timeout 1h;
    }
  }
}
CONF
nginx -p "$run/nginx" -c "$run/nginx.conf" &
pids+=($!)
# The operator's certificate names their domain, not 127.0.0.1: this check asks only whether
# nginx answers, so it does not judge that one; the self-signed one it verifies.
probe=(curl -fs)
if [ "$tls" = 1 ]; then
  if [ "$cert" = "$data/tls/cert.pem" ]; then probe+=(--cacert "$cert"); else probe+=(-k); fi
fi
for _ in $(seq 50); do
  "${probe[@]}" "$scheme://127.0.0.1:$port/healthz" >/dev/null 2>&1 && break
  kill -0 "${pids[-1]}" 2>/dev/null || { echo "cluster.sh: nginx did not start" >&2; exit 1; }
  sleep 0.1
done
trust=""
[ "$tls" = 1 ] && [ "$cert" = "$data/tls/cert.pem" ] && trust=" --ca-file $cert"
echo "cluster.sh: serving on $scheme://127.0.0.1:$port/ ($instances instances); Ctrl+C stops"
echo "  client: $build/src/app/velmorastra --server $scheme://127.0.0.1:$port/$trust"
wait -n "${pids[@]}" || true
echo "cluster.sh: a process ended on its own; see the logs in $data" >&2
