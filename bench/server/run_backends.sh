#!/usr/bin/env bash
# The storage backends side by side, in one run beside nginx: the server on SQLite, on
# PostgreSQL, and two instances on one PostgreSQL behind an nginx proxy. For each: polls with
# nothing new (50 connections), durable appends (50 connections), and polls over 1000
# connections. Besides the rates, the CPU time per request of the server processes and of
# PostgreSQL's. Everything listens on 127.0.0.1 only; every run has a fixed duration.
#
#   bench/server/run_backends.sh [SERVER_BINARY]
#
# Environment: DURATION (seconds per run, 10), CONNECTIONS (50), MANY_CONNECTIONS (1000),
# WRK_THREADS (2), SERVER_THREADS (2), WORKER_THREADS (32), STROKES (strokes on the polled
# canvas, 10000), USERS (polling users, 100), BACKENDS (which of "sqlite postgres postgres_x2"
# to run, all by default), ROUNDS (alternating append runs of sqlite and postgres for their
# comparison, 3).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
server_bin=${1:-$root/build/server/velmorastra-server}
duration=${DURATION:-10}
connections=${CONNECTIONS:-50}
many=${MANY_CONNECTIONS:-1000}
wrk_threads=${WRK_THREADS:-2}
server_threads=${SERVER_THREADS:-2}
worker_threads=${WORKER_THREADS:-32}
strokes=${STROKES:-10000}
users=${USERS:-100}
backends=" ${BACKENDS:-sqlite postgres postgres_x2} "

for tool in wrk nginx python3 curl; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
[ -x "$server_bin" ] || { echo "no server binary at $server_bin" >&2; exit 1; }

. "$here/common.sh"
. "$root/scripts/lib/postgres.sh"

export VELMO_BENCH_DIR="$here"
export VELMO_BENCH_CANVAS="bench@20101201095959123"
export VELMO_BENCH_APPEND_CANVAS="drawing@201012010959591"  # + two digits
export VELMO_BENCH_USERS="$users"
# The benchmark is one client address drawing as fast as it can: the limits meant for the
# public would measure themselves.
limits_off=(${LIMITS_OFF_OPTIONS:---no-limits})

# PostgreSQL's folder must be reachable by its own user when this runs as root.
pg_work=$(mktemp -d)
[ "$(id -u)" -eq 0 ] && chmod 755 "$pg_work"
extra_pids=()
finish() {
  for pid in "${extra_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${extra_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pg_stop
  rm -rf "$pg_work"
  cleanup
}
trap finish EXIT
pg_start "$pg_work/pg" "$(free_port)"
pg_postmaster=$(head -n 1 "$pg_work/pg/data/postmaster.pid")

start_nginx

results="$work/results"
: >"$results"
ticks_of() { # the user + system ticks of the given processes
  local total=0 pid
  for pid in "$@"; do
    [ -r "/proc/$pid/stat" ] && total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
  done
  echo "$total"
}
pg_pids() { echo "$pg_postmaster $(pgrep -P "$pg_postmaster" | tr '\n' ' ')"; }
server_pids=()
run() { # name connections seconds url script
  local name=$1 conns=$2 seconds=$3 url=$4 script=$5
  echo "-- $name: $conns connections, ${seconds}s"
  local line s_before s_after p_before p_after requests hz
  hz=$(getconf CLK_TCK)
  s_before=$(ticks_of "${server_pids[@]}")
  p_before=$(ticks_of $(pg_pids))
  line=$(wrk -t "$wrk_threads" -c "$conns" -d "${seconds}s" --timeout 10s -s "$here/$script" "$url" \
    | grep '^RESULT')
  s_after=$(ticks_of "${server_pids[@]}")
  p_after=$(ticks_of $(pg_pids))
  requests=$(echo "$line" | sed 's/.*requests=\([0-9]*\).*/\1/')
  line="$line server_cpu_us=$(awk -v a="$s_before" -v b="$s_after" -v r="$requests" -v hz="$hz" \
    'BEGIN { printf "%.1f", (b - a) * 1e6 / hz / r }')"
  line="$line pg_cpu_us=$(awk -v a="$p_before" -v b="$p_after" -v r="$requests" -v hz="$hz" \
    'BEGIN { printf "%.1f", (b - a) * 1e6 / hz / r }')"
  echo "   $line"
  echo "$name $line" >>"$results"
}

# start_instance DATABASE LOG: one more server, limits off; sets its port in instance_port.
start_instance() {
  start_server "$server_bin" "$1" "$2" --threads "$server_threads" \
    --worker-threads "$worker_threads" "${limits_off[@]}"
  extra_pids+=("$server_pid")
  server_pids+=("$server_pid")
  instance_port=$server_port
}

# proxy_to PORT...: nginx as the load balancer in front of the instances; sets proxy_port.
proxy_to() {
  proxy_port=$(free_port)
  local upstreams="" port
  for port in "$@"; do upstreams+="server 127.0.0.1:$port; "; done
  nginx_conf proxy 1 "$proxy_port" "upstream velmorastra { $upstreams keepalive 128; }" \
    'location / { proxy_pass http://velmorastra; proxy_http_version 1.1; proxy_set_header Connection ""; }'
  nginx -p "$work/proxy" -c "$work/proxy.conf" 2>"$work/proxy/start.log" &
  extra_pids+=($!)
  for _ in $(seq 50); do
    curl -fs "http://127.0.0.1:$proxy_port/healthz" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "the proxy did not start" >&2
  cat "$work/proxy/start.log" >&2
  return 1
}

# scenario NAME URL PORT: seeds through PORT, then polls, appends and many-connection polls
# through URL, each between nginx runs.
scenario() {
  local name=$1 url=$2 port=$3
  echo "== $name: seeding $strokes strokes and warming $users polling users"
  python3 "$here/seed.py" "$port" "$VELMO_BENCH_CANVAS" "$strokes" "$users"
  run "nginx_before_$name" "$connections" "$duration" "$nginx_url" ceiling.lua
  run "poll_$name" "$connections" "$duration" "$url" poll.lua
  run "nginx_mid_$name" "$connections" "$duration" "$nginx_url" ceiling.lua
  run "append_$name" "$connections" "$duration" "$url" append.lua
  run "nginx_many_before_$name" "$many" "$duration" "$nginx_url" ceiling.lua
  run "poll_many_$name" "$many" "$duration" "$url" poll.lua
  run "nginx_many_after_$name" "$many" "$duration" "$nginx_url" ceiling.lua
}

if [[ $backends == *" sqlite "* ]]; then
  start_instance "$work/bench.sqlite" "$work/sqlite.log"
  scenario sqlite "http://127.0.0.1:$instance_port/" "$instance_port"
  kill "${server_pids[0]}"; wait "${server_pids[0]}" 2>/dev/null || true
  server_pids=()
fi
if [[ $backends == *" postgres "* ]]; then
  start_instance "$(pg_uri one)" "$work/pg.log"
  scenario postgres "http://127.0.0.1:$instance_port/" "$instance_port"
  kill "${server_pids[0]}"; wait "${server_pids[0]}" 2>/dev/null || true
  server_pids=()
fi
if [[ $backends == *" postgres_x2 "* ]]; then
  start_instance "$(pg_uri two)" "$work/pg-a.log"
  first=$instance_port
  start_instance "$(pg_uri two)" "$work/pg-b.log"
  proxy_to "$first" "$instance_port"
  scenario postgres_x2 "http://127.0.0.1:$proxy_port/" "$first"
fi

# Durable appends side by side: a machine's speed drifts over the minutes of the scenarios, so
# for the comparison the two backends' append runs alternate, ROUNDS of each, on servers of
# their own.
rounds=${ROUNDS:-3}
alternating=0
if [[ $backends == *" sqlite "* && $backends == *" postgres "* ]] && [ "$rounds" -gt 0 ]; then
  alternating=1
  echo "== durable appends, sqlite and postgres alternating, $rounds rounds"
  start_instance "$work/alternating.sqlite" "$work/alternating-sqlite.log"
  sqlite_port=$instance_port
  sqlite_pid=${extra_pids[-1]}
  start_instance "$(pg_uri alternating)" "$work/alternating-pg.log"
  for round in $(seq "$rounds"); do
    export VELMO_BENCH_ROUND=$round
    server_pids=("$sqlite_pid")
    run "alternating_sqlite_$round" "$connections" "$duration" "http://127.0.0.1:$sqlite_port/" \
      append.lua
    server_pids=("${extra_pids[-1]}")
    run "alternating_postgres_$round" "$connections" "$duration" "http://127.0.0.1:$instance_port/" \
      append.lua
  done
  unset VELMO_BENCH_ROUND
fi

value() { # scenario field
  awk -v s="$1" -v f="$2" '$1 == s { for (i = 2; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == f) print kv[2] } }' "$results"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mean() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (a + b) / 2 }'; }

echo
echo "== results (requests per second, latency in ms, CPU time per request in microseconds)"
printf '%-26s %6s %9s %8s %8s %8s %7s %10s %8s\n' scenario conns rps p50 p99 max errors server_cpu pg_cpu
while read -r s _; do
  conns=$connections
  case $s in *many*) conns=$many ;; esac
  printf '%-26s %6s %9s %8s %8s %8s %7s %10s %8s\n' "$s" "$conns" "$(value "$s" rps)" \
    "$(value "$s" p50_ms)" "$(value "$s" p99_ms)" "$(value "$s" max_ms)" "$(value "$s" errors)" \
    "$(value "$s" server_cpu_us)" "$(value "$s" pg_cpu_us)"
done <"$results"
echo
echo "Each poll run against the mean of the nginx runs just before and after it:"
for b in $backends; do
  echo "poll / nginx rate, $b:           $(ratio "$(value "poll_$b" rps)" "$(mean "$(value "nginx_before_$b" rps)" "$(value "nginx_mid_$b" rps)")") (target >= 0.5)"
  echo "poll / nginx rate, $many conns, $b: $(ratio "$(value "poll_many_$b" rps)" "$(mean "$(value "nginx_many_before_$b" rps)" "$(value "nginx_many_after_$b" rps)")")"
done
if [[ $backends == *" sqlite "* ]]; then
  for b in postgres postgres_x2; do
    [[ $backends == *" $b "* ]] || continue
    echo "durable appends, $b / sqlite: $(ratio "$(value "append_$b" rps)" "$(value append_sqlite rps)")"
  done
fi
if [ "$alternating" = 1 ]; then
  total() { # prefix: the rates of the rounds added up
    local sum=0 round
    for round in $(seq "$rounds"); do sum=$((sum + $(value "$1_$round" rps))); done
    echo "$sum"
  }
  echo "durable appends, postgres / sqlite, $rounds alternating rounds each:" \
    "$(ratio "$(total alternating_postgres)" "$(total alternating_sqlite)") (target >= 0.5)"
fi
