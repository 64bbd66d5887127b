#!/usr/bin/env bash
# Where an append's CPU goes: runs the append scenario against a fresh server and reads each
# thread's run and wait times from /proc/PID/task/*/schedstat over a window in the middle of
# the run. Loopback only; the run has a fixed duration and the script ends by itself.
#
#   bench/server/thread_cpu.sh SERVER_BINARY [SECONDS]
#
# Prints, per busy thread of the server and of wrk: its share of a core, the share of time it
# waited for one, its context switches per second, and its CPU time per request.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
server_bin=$1
seconds=${2:-6}
export VELMO_BENCH_DIR="$here"
export VELMO_BENCH_APPEND_CANVAS="drawing@201012010959591"

. "$here/common.sh"
start_server "$server_bin" "$work/db.sqlite" "$work/log"

wrk -t2 -c50 -d$((seconds + 2))s --timeout 10s -s "$here/append.lua" \
  "http://127.0.0.1:$server_port/" >"$work/wrk.out" &
wrk_pid=$!
sleep 1
snapshot() {
  for pid in $server_pid $wrk_pid; do
    local name=server
    [ "$pid" = "$wrk_pid" ] && name=wrk
    for task in /proc/"$pid"/task/*; do
      echo "$name-$(basename "$task") $(cat "$task/schedstat")"
    done
  done
}
snapshot | sort >"$work/before"
sleep "$seconds"
snapshot | sort >"$work/after"
wait "$wrk_pid"
rps=$(sed -n 's/^RESULT .*rps=\([0-9]*\).*/\1/p' "$work/wrk.out")
grep '^RESULT' "$work/wrk.out" | sed 's/ p90.*//'
join "$work/before" "$work/after" | awk -v s="$seconds" -v rps="$rps" '{
  run = ($5 - $2) / 1e9 / s; wait = ($6 - $3) / 1e9 / s; switches = ($7 - $4) / s
  if (run > 0.005)
    printf "%-14s core %3.0f%%  waiting %3.0f%%  switches/s %6d  us/request %5.1f\n",
      $1, run * 100, wait * 100, switches, run * 1e6 / rps }'
