#!/usr/bin/env bash
# Durable appends of several server builds, alternating, with nginx measured before and after
# in the same session: the append and nginx scenarios of run_bench.sh alone, each build on a
# fresh database. Loopback only; every run has a fixed duration and the script ends by itself.
#
#   bench/server/compare_appends.sh SECONDS SERVER_BINARY...
#   bench/server/compare_appends.sh --pairs N SECONDS OLD_BINARY NEW_BINARY
#
# Give a binary twice (A B A B) to alternate. Prints one RESULT line per run and the server's
# CPU time per append. With --pairs, runs N pairs of short runs, old and new in turn (which
# goes first alternates), and prints the median of new/old: this machine's speed drifts within
# seconds, and only runs close together compare.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
pairs=0
if [ "${1:-}" = --pairs ]; then
  pairs=$2
  shift 2
fi
seconds=$1
shift
export VELMO_BENCH_DIR="$here"
export VELMO_BENCH_APPEND_CANVAS="drawing@201012010959591"

. "$here/common.sh"
start_nginx

ceiling() {
  echo "nginx $(timeout $((seconds + 20)) wrk -t2 -c50 -d"${seconds}s" -s "$here/ceiling.lua" \
    "$nginx_url" | grep '^RESULT')"
}

# Starts BINARY on a fresh database, runs the append script against it, prints wrk's RESULT
# line and the server's CPU time per append.
append_run() {
  local bin=$1 line before after requests
  rm -rf "$work"/db.sqlite*
  start_server "$bin" "$work/db.sqlite" "$work/log"
  before=$(awk '{print $14 + $15}' "/proc/$server_pid/stat")
  line=$(timeout $((seconds + 20)) wrk -t2 -c50 -d"${seconds}s" --timeout 10s \
    -s "$here/append.lua" "http://127.0.0.1:$server_port/" | grep '^RESULT')
  after=$(awk '{print $14 + $15}' "/proc/$server_pid/stat")
  requests=$(echo "$line" | sed 's/.*requests=\([0-9]*\).*/\1/')
  echo "$line server_cpu_us=$(awk -v a="$before" -v b="$after" -v r="$requests" \
    -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f", (b - a) * 1e6 / hz / r }')"
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}
rps() { sed 's/.*rps=\([0-9]*\).*/\1/'; }

if [ "$pairs" -gt 0 ]; then
  ratios="$work/ratios"
  : >"$ratios"
  for i in $(seq "$pairs"); do
    if [ $((i % 2)) = 1 ]; then
      old=$(append_run "$1" | rps)
      new=$(append_run "$2" | rps)
    else
      new=$(append_run "$2" | rps)
      old=$(append_run "$1" | rps)
    fi
    ratio=$(awk -v a="$old" -v b="$new" 'BEGIN { printf "%.3f", b / a }')
    echo "pair $i: old $old new $new appends/s, new/old $ratio"
    echo "$ratio" >>"$ratios"
  done
  sort -n "$ratios" | awk '{ v[NR] = $1 } END {
    printf "median new/old over %d pairs: %.3f\n", NR, NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
  exit 0
fi

ceiling
for bin in "$@"; do
  echo "$bin $(append_run "$bin")"
done
ceiling
