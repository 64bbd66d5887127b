#!/usr/bin/env bash
# What strokes in progress cost the canvas server under load: STREAMS event streams (1000)
# held on 50 canvases, and appends and polls measured with wrk, first alone, then while DRAWERS
# users (50, one a canvas) send progress RATE times a second (30), which every stream of
# their canvas receives. Prints both rates and their ratio, the server's memory per stream,
# and the bytes progress costs per second of drawing against sending the finished stroke's text
# every 100 ms. Everything listens on 127.0.0.1 only; every run has a fixed duration.
#
#   bench/live/progress_load.sh [SERVER_BINARY]
#
# Environment: STREAMS (1000), DRAWERS (50), RATE (30), DURATION (seconds a wrk run, 10),
# CONNECTIONS (wrk connections, 50), WRK_THREADS (1).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
server_bin=${1:-$root/build/server/velmorastra-server}
streams=${STREAMS:-1000}
drawers=${DRAWERS:-50}
rate=${RATE:-30}
duration=${DURATION:-10}
connections=${CONNECTIONS:-50}
wrk_threads=${WRK_THREADS:-1}
for tool in wrk python3; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
[ -x "$server_bin" ] || { echo "no server binary at $server_bin" >&2; exit 1; }
[ "$(ulimit -n)" -gt $((streams * 2 + 500)) ] || ulimit -n $((streams * 2 + 500))

. "$root/bench/server/common.sh"

export VELMO_BENCH_DIR="$root/bench/server"
export VELMO_BENCH_CANVAS="polled@20101201095959123"
export VELMO_BENCH_APPEND_CANVAS="drawing@201012010959591" # + two digits
export VELMO_BENCH_USERS=100
canvases=()
for which in $(seq 0 49); do canvases+=("$VELMO_BENCH_APPEND_CANVAS$which"); done

start_server "$server_bin" "$work/load.sqlite" "$work/server.log" --no-limits \
  --max-streams $((streams + 100)) --max-streams-per-address $((streams + 100))
server_url="http://127.0.0.1:$server_port/"
rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$server_pid/status"; }
# The holder's status line as soon as it is written anew, and when.
fresh_status() {
  local was
  was=$(stat -c %y "$work/streams")
  while [ "$(stat -c %y "$work/streams")" = "$was" ]; do sleep 0.01; done
  echo "$(date +%s.%N) $(cat "$work/streams")"
}

rate_of() { # script seconds: requests a second
  wrk -t "$wrk_threads" -c "$connections" -d "${2}s" --timeout 10s -s "$VELMO_BENCH_DIR/$1" \
    "$server_url" | sed -n 's/.*requests=\([0-9]*\).*seconds=\([0-9.]*\).*/\1 \2/p' |
    awk '{ printf "%.0f", $1 / $2 }'
}
# The polling users bind their keys and take the (empty) canvas once before any figure.
rate_of poll.lua 2 >/dev/null

rss_fresh=$(rss_kb)
python3 "$VELMO_BENCH_DIR/stream_holder.py" "$server_port" "$streams" "$work/streams" "${canvases[@]}" &
holder_pid=$!
drawers_pid=""
trap 'kill $holder_pid $drawers_pid 2>/dev/null; wait 2>/dev/null; cleanup' EXIT
for _ in $(seq 600); do
  [ "$(awk '{print $2}' "$work/streams" 2>/dev/null)" = "$streams" ] && break
  sleep 0.1
done
sleep 1
rss_streams=$(rss_kb)
echo "streams: $(cat "$work/streams")"

echo "== without progress"
poll_alone=$(rate_of poll.lua "$duration")
append_alone=$(rate_of append.lua "$duration")
echo "   polls $poll_alone/s, appends $append_alone/s"

echo "== with $drawers users drawing, $rate progress requests a second each"
draw_seconds=$((2 * duration + 6))
rss_before_drawing=$(rss_kb)
python3 "$here/progress_drawers.py" "$server_port" "$drawers" "$rate" "$draw_seconds" \
  "$work/drawers" "${canvases[@]}" &
drawers_pid=$!
sleep 1
# A few seconds of progress alone: what the streams receive of it, with no other news.
read -r t0 _ _ _ events_before _ _ _ _ _ bytes_before < <(fresh_status)
sleep 3
read -r t1 _ _ _ events_after _ _ _ _ _ bytes_after < <(fresh_status)
rss_drawing=$(rss_kb)
poll_drawing=$(rate_of poll.lua "$duration")
append_drawing=$(rate_of append.lua "$duration")
wait "$drawers_pid"
drawers_pid=""
echo "   polls $poll_drawing/s, appends $append_drawing/s"
echo "   drawers: $(cat "$work/drawers")"

read -r requests ok sent received text seconds < <(awk '{print $2, $4, $10, $12, $14, $16}' "$work/drawers")
awk -v pa="$poll_alone" -v pd="$poll_drawing" -v aa="$append_alone" -v ad="$append_drawing" \
  -v fresh="$rss_fresh" -v rs="$rss_streams" -v rb="$rss_before_drawing" -v rd="$rss_drawing" -v n="$streams" \
  -v req="$requests" -v ok="$ok" -v sent="$sent" -v got="$received" -v text="$text" \
  -v secs="$seconds" -v d="$drawers" -v ev=$((events_after - events_before)) \
  -v by=$((bytes_after - bytes_before)) -v win="$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" -v per=$((streams / 50)) 'BEGIN {
    printf "\npolls while drawing:   %.2f of their rate alone (target >= 0.5)\n", pd / pa
    printf "appends while drawing: %.2f of their rate alone (target >= 0.5)\n", ad / aa
    printf "progress requests:     %.0f/s sent, %.0f/s answered 2xx\n", req / secs, ok / secs
    printf "progress events:       %.0f/s received by the streams\n", ev / win
    printf "server memory:         %.0f bytes a stream (%d kB fresh, %d kB with %d streams); %+d kB from 4 s of progress alone\n", (rs - fresh) * 1024 / n, fresh, rs, n, rd - rb
    printf "bytes a second of drawing, one drawer: %.0f sent + %.0f received (requests and answers), %.0f to each watching stream\n", sent / secs / d, got / secs / d, by / win / d / per
    printf "  the finished stroke text every 100 ms instead: %.0f a second\n", text / secs / d
  }'
