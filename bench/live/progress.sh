#!/usr/bin/env bash
# How far behind the drawer's pen a stroke in progress shows in another window: two
# velmorastra-bot processes on one canvas, one drawing with --progress (a drag every 16 ms) and
# printing when it drew each point, one watching and printing which points each progress event
# brought when, both read from this machine's clock. This script sets them against each other
# point by point (the batching's wait included) and prints the median and 99th percentile. Without SERVER_URL a fresh local server is started; with it (say the
# PostgreSQL cluster of scripts/cluster.sh behind nginx), the bots talk to that service, the
# watcher through it as well. Everything listens on 127.0.0.1 only.
#
#   bench/live/progress.sh [BUILD_DIR]
#
# With COUNT=1 both bots go through bench/live/counting_proxy.py, and the script also prints
# the bytes progress costs per second of drawing: the drawer's requests and their answers, and
# what the watcher's stream receives, against sending the finished stroke's text (as its
# append carried it) every 100 ms.
#
# Environment: STROKES (40), RATE (strokes begun per second, 1), POINTS (points a stroke, 60),
# SERVER_URL (none), WATCH_URL (SERVER_URL), CANVAS (a fresh one), COUNT (0).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
strokes=${STROKES:-40}
rate=${RATE:-1}
points=${POINTS:-60}
server_bin=$build/server/velmorastra-server
bot_bin=$build/src/app/bot/velmorastra-bot
for bin in "$server_bin" "$bot_bin"; do
  [ -x "$bin" ] || { echo "no $bin (build it first)" >&2; exit 1; }
done

. "$root/bench/server/common.sh"

if [ -n "${SERVER_URL:-}" ]; then
  server_url=$SERVER_URL
else
  start_server "$server_bin" "$work/live.sqlite" "$work/server.log"
  server_url="http://127.0.0.1:$server_port/"
fi
watch_url=${WATCH_URL:-$server_url}
proxy_pid=""
if [ "${COUNT:-0}" = 1 ]; then
  proxy_port=$(free_port)
  upstream=$(echo "$server_url" | sed -n 's|^http://127.0.0.1:\([0-9]*\)/*$|\1|p')
  [ -n "$upstream" ] || { echo "COUNT=1 needs a server on http://127.0.0.1:PORT/" >&2; exit 1; }
  python3 "$here/counting_proxy.py" "$proxy_port" "$upstream" "$work/bytes" &
  proxy_pid=$!
  trap 'kill $proxy_pid 2>/dev/null; cleanup' EXIT
  sleep 0.5
  server_url="http://127.0.0.1:$proxy_port/"
  watch_url=$server_url
fi
canvas=${CANVAS:-progress@$(date -u +%Y%m%d%H%M%S)123}
timeout=$(awk -v n="$strokes" -v r="$rate" -v p="$points" 'BEGIN { printf "%d", n / r + n * p * 0.016 + 60 }')

echo "== $strokes strokes of $points points, drawn with progress on $server_url, watched on $watch_url"
QT_QPA_PLATFORM=offscreen "$bot_bin" --server "$watch_url" --canvas "$canvas" \
  --nickname watcher --watch "$strokes" --timeout "$timeout" >"$work/watch.log" 2>&1 &
watcher=$!
for _ in $(seq 100); do
  grep -q "canvas $canvas" "$work/watch.log" 2>/dev/null && break
  sleep 0.1
done
sleep 1
QT_QPA_PLATFORM=offscreen "$bot_bin" --server "$server_url" --canvas "$canvas" \
  --nickname drawer --strokes "$strokes" --rate "$rate" --points "$points" --progress \
  --print-strokes --linger 1 --timeout "$timeout" >"$work/draw.log" 2>&1
watch_status=0
wait "$watcher" || watch_status=$?

# "point <stroke> <index> <ms>" from the drawer, "progress <behind> <stroke> <from> <count> <ms>"
# from the watcher: each point's delay is its first arrival less its drawing.
awk '$1 == "point" { drawn[$2 " " $3] = $4 }
     $1 == "progress" { for (i = $4; i < $4 + $5; i++) { k = $3 " " i; if (!(k in seen)) { seen[k] = 1; at[k] = $6 } } }
     END { for (k in at) if (k in drawn) printf "%.1f\n", at[k] - drawn[k] }' \
  "$work/draw.log" "$work/watch.log" | sort -n >"$work/ms"
count=$(wc -l <"$work/ms")
drawn_points=$(grep -c '^point ' "$work/draw.log" || true)
tail -n 2 "$work/draw.log"
tail -n 1 "$work/watch.log"
if [ "$count" -eq 0 ]; then
  echo "no point arrived in progress" >&2
  tail -n 20 "$work/watch.log" >&2
  exit 1
fi
rank() { awk -v p="$1" -v n="$count" 'BEGIN { r = int(p * n / 100 + 0.999999); if (r < 1) r = 1; print r }'; }
echo
echo "points drawn: $drawn_points, seen in progress: $count, in $(grep -c '^progress ' "$work/watch.log") events"
echo "behind the pen, median: $(sed -n "$(rank 50)p" "$work/ms") ms (target <= 50; <= 100 through two instances)"
echo "behind the pen, p99:    $(sed -n "$(rank 99)p" "$work/ms") ms (target <= 100)"
echo "behind the pen, max:    $(tail -n 1 "$work/ms") ms"
if [ -n "$proxy_pid" ]; then
  sleep 1.2 # the proxy's last status line
  # Seconds of drawing: each stroke from its first point to its last, as the drawer drew them.
  seconds=$(awk '$1 == "point" { if (!($2 in first)) first[$2] = $4; last[$2] = $4 }
                 END { for (k in first) s += last[k] - first[k]; printf "%.3f", s / 1000 }' "$work/draw.log")
  read -r requests sent answers appends text heads stream < <(awk '{print $2, $4, $6, $8, $10, $12, $14}' "$work/bytes")
  awk -v s="$seconds" -v r="$requests" -v sent="$sent" -v ans="$answers" -v n="$appends" \
    -v text="$text" -v heads="$heads" -v stream="$stream" 'BEGIN {
      printf "\nbytes a second of drawing (%.1f s drawn, %d progress requests):\n", s, r
      printf "  drawer: %.0f sent + %.0f answers = %.0f\n", sent / s, ans / s, (sent + ans) / s
      printf "  watcher stream: %.0f (with the news of the finished strokes)\n", stream / s
      printf "  the finished stroke text every 100 ms instead: %.0f (strokes of %.0f bytes)\n", 10 * text / n, text / n
    }'
fi
exit "$watch_status"
