#!/usr/bin/env bash
# What an open event stream costs the canvas server in memory: a fresh server's resident size
# before and with STREAMS streams (5000 by default) held by bench/server/stream_holder.py.
# A fresh server, because a busy one reuses freed heap and hides the streams' share. Everything
# listens on 127.0.0.1 only.
#
#   bench/live/stream_memory.sh [SERVER_BINARY]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
server_bin=${1:-$root/build/server/velmorastra-server}
streams=${STREAMS:-5000}
[ -x "$server_bin" ] || { echo "no server binary at $server_bin" >&2; exit 1; }
[ "$(ulimit -n)" -gt $((streams * 2 + 100)) ] || ulimit -n $((streams * 2 + 100))

. "$root/bench/server/common.sh"

start_server "$server_bin" "$work/memory.sqlite" "$work/server.log" \
  --max-streams "$streams" --max-streams-per-address "$streams"
rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$server_pid/status"; }
before=$(rss_kb)
python3 "$root/bench/server/stream_holder.py" "$server_port" "$streams" "$work/streams" \
  "memory@20101201095959123" "other@20101201095959123" &
holder_pid=$!
trap 'kill "$holder_pid" 2>/dev/null; wait "$holder_pid" 2>/dev/null; cleanup' EXIT
for _ in $(seq 600); do
  [ "$(awk '{print $2}' "$work/streams" 2>/dev/null)" = "$streams" ] && break
  sleep 0.1
done
sleep 1 # every stream's first event written and taken
with=$(rss_kb)
echo "streams: $(cat "$work/streams")"
echo "server RSS: $before kB fresh, $with kB with $streams streams:" \
  "$(awk -v a="$before" -v b="$with" -v n="$streams" 'BEGIN { printf "%.0f", (b - a) * 1024 / n }') bytes a stream"
