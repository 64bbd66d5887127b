#!/usr/bin/env bash
# How long a stroke takes from one client to another over the live channel: two
# velmorastra-bot processes on one canvas of a fresh local server, one drawing, one watching.
# The watcher prints, for each stroke, the time from its drawing (the stroke's client time) to
# its arrival, both read from this machine's clock; this script prints their median and 99th
# percentile. Everything listens on 127.0.0.1 only.
#
#   bench/live/propagation.sh [BUILD_DIR]
#
# Environment: STROKES (200), RATE (strokes drawn per second, 5).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
strokes=${STROKES:-200}
rate=${RATE:-5}
server_bin=$build/server/velmorastra-server
bot_bin=$build/src/app/bot/velmorastra-bot
for bin in "$server_bin" "$bot_bin"; do
  [ -x "$bin" ] || { echo "no $bin (build it first)" >&2; exit 1; }
done

. "$root/bench/server/common.sh"

start_server "$server_bin" "$work/live.sqlite" "$work/server.log"
server_url="http://127.0.0.1:$server_port/"
canvas="live@20101201095959123"
# Generous: the drawing takes strokes / rate seconds.
timeout=$(awk -v n="$strokes" -v r="$rate" 'BEGIN { printf "%d", n / r + 60 }')

echo "== $strokes strokes at $rate a second, from one bot to another on $server_url"
QT_QPA_PLATFORM=offscreen "$bot_bin" --server "$server_url" --canvas "$canvas" \
  --nickname watcher --watch "$strokes" --timeout "$timeout" >"$work/watch.log" 2>&1 &
watcher=$!
# The watcher names its canvas once it has opened it and asked for its stream; a second more
# lets the stream open before the first stroke.
for _ in $(seq 100); do
  grep -q "canvas $canvas" "$work/watch.log" 2>/dev/null && break
  sleep 0.1
done
sleep 1
QT_QPA_PLATFORM=offscreen "$bot_bin" --server "$server_url" --canvas "$canvas" \
  --nickname drawer --strokes "$strokes" --rate "$rate" --linger 1 >"$work/draw.log" 2>&1
watch_status=0
wait "$watcher" || watch_status=$?

sed -n 's/.*arrived after \([0-9.]*\) ms$/\1/p' "$work/watch.log" | sort -n >"$work/ms"
count=$(wc -l <"$work/ms")
tail -n 2 "$work/draw.log"
tail -n 1 "$work/watch.log"
if [ "$count" -eq 0 ]; then
  echo "no stroke arrived" >&2
  cat "$work/watch.log" >&2
  exit 1
fi
# Nearest rank.
rank() { awk -v p="$1" -v n="$count" 'BEGIN { r = int(p * n / 100 + 0.999999); if (r < 1) r = 1; print r }'; }
median=$(sed -n "$(rank 50)p" "$work/ms")
p99=$(sed -n "$(rank 99)p" "$work/ms")
max=$(tail -n 1 "$work/ms")
echo
echo "strokes arrived: $count of $strokes"
echo "propagation median: $median ms (target <= 100)"
echo "propagation p99:    $p99 ms"
echo "propagation max:    $max ms"
exit "$watch_status"
