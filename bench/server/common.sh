# Shared by the server benchmark scripts: sourced, never run. Makes the scripts' scratch folder
# `work`, and on exit stops the server and nginx started here and removes the folder.
# Everything listens on 127.0.0.1 only.

work=$(mktemp -d)
server_pid=""
nginx_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_server BINARY DATABASE LOG [OPTION...]: the server on a free port, quiet, once it
# listens. Sets server_pid and server_port.
start_server() {
  local bin=$1 db=$2 log=$3
  shift 3
  "$bin" --listen 127.0.0.1:0 --db "$db" --quiet "$@" 2>"$log" &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q "listening on" "$log" && break
    sleep 0.1
  done
  server_port=$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$log")
  [ -n "$server_port" ] || { cat "$log" >&2; return 1; }
}

# nginx_conf NAME WORKERS PORT HTTP_BLOCK SERVER_BLOCK: writes $work/NAME.conf for an nginx
# with its files in $work/NAME, keep-alive, no access log, listening on 127.0.0.1:PORT.
nginx_conf() {
  local name=$1 workers=$2 port=$3 http_block=$4 server_block=$5
  mkdir -p "$work/$name"
  cat >"$work/$name.conf" <<CONF
worker_processes $workers;
daemon off;
pid $work/$name.pid;
error_log $work/$name/error.log;
events { worker_connections 8192; }
http {
  access_log off;
  keepalive_requests 10000000;
  keepalive_timeout 120;
  client_body_temp_path $work/$name/body;
  proxy_temp_path $work/$name/proxy;
  fastcgi_temp_path $work/$name/fastcgi;
  uwsgi_temp_path $work/$name/uwsgi;
  scgi_temp_path $work/$name/scgi;
  $http_block
  server {
    listen 127.0.0.1:$port;
    $server_block
  }
}
CONF
}

# start_nginx: nginx answering "return 200" with a 200-byte body, keep-alive, no access log,
# its files in $work/nginx. Sets nginx_pid and nginx_url.
start_nginx() {
  local port body
  port=$(free_port)
  body=$(printf 'x%.0s' $(seq 200))
  nginx_conf nginx auto "$port" "" "location / { default_type text/plain; return 200 \"$body\"; }"
  nginx -p "$work/nginx" -c "$work/nginx.conf" 2>"$work/nginx/start.log" &
  nginx_pid=$!
  sleep 0.5
  nginx_url="http://127.0.0.1:$port/"
  [ "$(curl -s "$nginx_url" | wc -c)" = 200 ] ||
    { echo "nginx did not start" >&2; cat "$work/nginx/start.log" >&2; return 1; }
}
