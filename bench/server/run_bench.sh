#!/usr/bin/env bash
# Load benchmark of velmorastra-server, with nginx answering a fixed 200-byte body in the same
# run as the HTTP ceiling of this machine. Everything listens on 127.0.0.1 only; every wrk run
# has a fixed duration, so the whole script ends by itself (about 4 minutes by default).
#
#   bench/server/run_bench.sh [SERVER_BINARY]
#
# Environment: DURATION (seconds per short run, 10), LONG_DURATION (the 1000-connection run
# with memory samples, 60), CONNECTIONS (50), MANY_CONNECTIONS (1000), WRK_THREADS (2),
# SERVER_THREADS (network threads, 2), WORKER_THREADS (32), STROKES (strokes on the polled canvas, 10000), USERS (polling users, 100),
# STREAMS (event streams held open through every scenario, spread over the polled canvas and
# the 50 canvases drawn on, so appends wake them; 0, the default, holds none),
# LIMITS (which limits the server runs with: "off" is --no-limits; "default" is every default
# limit but the connections per address, raised to MANY_CONNECTIONS + 100 since every
# connection comes from 127.0.0.1; "both", the default, runs the whole script once each way,
# off first, each pass on a fresh database).
set -euo pipefail

limits=${LIMITS:-both}
case $limits in
  both)
    echo "=== pass 1 of 2: limits off"
    LIMITS=off "$0" "$@"
    echo
    echo "=== pass 2 of 2: default limits"
    LIMITS=default "$0" "$@"
    exit 0
    ;;
  off | default) ;;
  *) echo "LIMITS is off, default or both, not $limits" >&2; exit 1 ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
server_bin=${1:-$root/build/server/velmorastra-server}
duration=${DURATION:-10}
long=${LONG_DURATION:-60}
connections=${CONNECTIONS:-50}
many=${MANY_CONNECTIONS:-1000}
wrk_threads=${WRK_THREADS:-2}
server_threads=${SERVER_THREADS:-2}
worker_threads=${WORKER_THREADS:-32}
strokes=${STROKES:-10000}
users=${USERS:-100}
streams=${STREAMS:-0}

for tool in wrk nginx python3; do
  command -v "$tool" >/dev/null || { echo "needs $tool (Debian: wrk, nginx-light, python3)" >&2; exit 1; }
done
[ -x "$server_bin" ] || { echo "no server binary at $server_bin" >&2; exit 1; }

. "$here/common.sh"

export VELMO_BENCH_DIR="$here"
export VELMO_BENCH_CANVAS="bench@20101201095959123"
export VELMO_BENCH_APPEND_CANVAS="drawing@201012010959591"  # + two digits
export VELMO_BENCH_USERS="$users"

# The canvas server, on its own fresh database. The seeding appends thousands of strokes as
# one user, which the default limits refuse: it runs with none, and with default limits the
# server starts again on the seeded database (a clean stop keeps the users' delivery marks).
server_args=(--threads "$server_threads" --worker-threads "$worker_threads"
  --max-streams $((streams + 100)) --max-streams-per-address $((streams + 100)))
start_server "$server_bin" "$work/bench.sqlite" "$work/server.log" "${server_args[@]}" --no-limits

echo "== seeding $strokes strokes and warming $users polling users"
python3 "$here/seed.py" "$server_port" "$VELMO_BENCH_CANVAS" "$strokes" "$users"
if [ "$limits" = default ]; then
  kill "$server_pid" && wait "$server_pid" || true
  start_server "$server_bin" "$work/bench.sqlite" "$work/server.log" "${server_args[@]}" \
    --max-connections-per-address $((many + 100))
  echo "== the server runs with the default limits, --max-connections-per-address $((many + 100))"
else
  echo "== the server runs with --no-limits"
fi
server_url="http://127.0.0.1:$server_port/"

start_nginx

results="$work/results"
: >"$results"
server_ticks() { awk '{print $14 + $15}' "/proc/$server_pid/stat"; }
run() { # name connections seconds url script
  local name=$1 conns=$2 seconds=$3 url=$4 script=$5
  echo "-- $name: $conns connections, ${seconds}s"
  local line before after requests
  before=$(server_ticks)
  line=$(wrk -t "$wrk_threads" -c "$conns" -d "${seconds}s" --timeout 10s -s "$here/$script" "$url" \
    | grep '^RESULT')
  after=$(server_ticks)
  requests=$(echo "$line" | sed 's/.*requests=\([0-9]*\).*/\1/')
  # The server's own CPU time (user + system) per request; meaningless for the nginx runs.
  line="$line server_cpu_us=$(awk -v a="$before" -v b="$after" -v r="$requests" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.1f", (b - a) * 1e6 / hz / r }')"
  echo "   $line"
  echo "$name $line" >>"$results"
}
rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$server_pid/status"; }
wal_bytes() { stat -c %s "$work/bench.sqlite-wal" 2>/dev/null || echo 0; }

# The event streams, opened before the scenarios and held through all of them; the server's
# memory is read before and once every stream has had its first event.
holder_pid=""
stop_holder() { [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null && wait "$holder_pid" 2>/dev/null; holder_pid=""; }
trap 'stop_holder; cleanup' EXIT
holder_status="$work/streams"
if [ "$streams" -gt 0 ]; then
  echo "== opening $streams event streams"
  stream_canvases=("$VELMO_BENCH_CANVAS")
  for which in $(seq 0 49); do stream_canvases+=("$VELMO_BENCH_APPEND_CANVAS$which"); done
  rss_before_streams=$(rss_kb)
  python3 "$here/stream_holder.py" "$server_port" "$streams" "$holder_status" "${stream_canvases[@]}" &
  holder_pid=$!
  for _ in $(seq 600); do
    [ "$(awk '{print $2}' "$holder_status" 2>/dev/null)" = "$streams" ] && break
    sleep 0.1
  done
  sleep 1 # the last ready events written and taken
  rss_with_streams=$(rss_kb)
  echo "   $(cat "$holder_status")"
  [ "$(awk '{print $2}' "$holder_status")" = "$streams" ] || { echo "the streams did not all open" >&2; exit 1; }
fi

# nginx runs right before and after each scenario, and the scenario is set against their mean:
# this machine's speed drifts by up to a factor of two within minutes, and a ceiling measured
# minutes away says little about the scenario's own moment.
run nginx "$connections" "$duration" "$nginx_url" ceiling.lua
wal_before=$(wal_bytes)
run poll "$connections" "$duration" "$server_url" poll.lua
wal_after=$(wal_bytes)
run nginx_2 "$connections" "$duration" "$nginx_url" ceiling.lua
run append "$connections" "$duration" "$server_url" append.lua
run nginx_3 "$connections" "$duration" "$nginx_url" ceiling.lua
run nginx_many "$many" "$duration" "$nginx_url" ceiling.lua

# The long run: polls over many keep-alive connections, with the server's memory sampled.
rss_log="$work/rss"
(
  for _ in $(seq $((long / 5 + 1))); do
    echo "$(rss_kb)" >>"$rss_log"
    sleep 5
  done
) &
sampler=$!
run poll_many "$many" "$long" "$server_url" poll.lua
kill "$sampler" 2>/dev/null || true
wait "$sampler" 2>/dev/null || true
run nginx_many_2 "$many" "$duration" "$nginx_url" ceiling.lua

value() { # scenario field
  awk -v s="$1" -v f="$2" '$1 == s { for (i = 2; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == f) print kv[2] } }' "$results"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mean() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (a + b) / 2 }'; }

echo
echo "== results with limits $limits (requests per second, latency in ms, server CPU time per request in microseconds)"
echo "   (with the default limits, errors count the 429 answers to users beyond their rate)"
printf '%-12s %6s %10s %9s %9s %9s %9s %8s %12s\n' scenario conns rps p50 p90 p99 max errors server_cpu_us
for s in nginx poll nginx_2 append nginx_3 nginx_many poll_many nginx_many_2; do
  conns=$connections
  case $s in *many*) conns=$many ;; esac
  cpu=$(value $s server_cpu_us)
  case $s in nginx*) cpu="-" ;; esac
  printf '%-12s %6s %10s %9s %9s %9s %9s %8s %12s\n' "$s" "$conns" "$(value $s rps)" "$(value $s p50_ms)" \
    "$(value $s p90_ms)" "$(value $s p99_ms)" "$(value $s max_ms)" "$(value $s errors)" "$cpu"
done
echo
around() { mean "$(value "$1" "$3")" "$(value "$2" "$3")"; } # nginx before, nginx after, field
echo "Each scenario against the mean of the nginx runs just before and after it:"
echo "poll / nginx rate:                   $(ratio "$(value poll rps)" "$(around nginx nginx_2 rps)") (target >= 0.5)"
echo "append / nginx rate:                 $(ratio "$(value append rps)" "$(around nginx_2 nginx_3 rps)") (target >= 0.25)"
echo "poll / nginx rate, $many connections: $(ratio "$(value poll_many rps)" "$(around nginx_many nginx_many_2 rps)") (target >= 0.5)"
echo "poll / nginx p99, $many connections:  $(ratio "$(value poll_many p99_ms)" "$(around nginx_many nginx_many_2 p99_ms)") (target <= 5)"
echo "WAL bytes before and after the poll run: $wal_before $wal_after (polls write nothing)"
echo "server RSS (kB) every 5 s of the ${long}s run: $(tr '\n' ' ' <"$rss_log")"
if [ "$streams" -gt 0 ]; then
  echo "event streams: $(cat "$holder_status") (at the end of the run)"
  # A warm server reuses freed heap for the streams; bench/live/stream_memory.sh measures
  # their cost on a fresh one.
  echo "server RSS (kB) before and with the $streams streams: $rss_before_streams $rss_with_streams"
  stop_holder
fi
echo "strokes stored by the append run: $(python3 - "$server_port" <<'PY'
import http.client, os, sys
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=60)
total = 0
for which in range(50):
    c.request("POST", "/", body=(os.environ["VELMO_BENCH_APPEND_CANVAS"] + str(which) + ": get_strokes: ").encode())
    total += sum(1 for line in c.getresponse().read().split(b"\n") if b" append: " in line)
print(total)
PY
)"
