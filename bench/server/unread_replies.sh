#!/usr/bin/env bash
# The server's resident memory while many clients ask for a large canvas and never read the
# answer: a canvas of MIB MiB of strokes, CONNECTIONS connections from as many loopback
# addresses, each sending get_strokes and reading nothing. Each server build runs RUNS times,
# builds in turn, each run a fresh server with the default limits on a copy of the same seeded
# database; the medians per build at the end. Loopback only; ends by itself.
#
#   bench/server/unread_replies.sh [SERVER_BINARY...]
#
# Environment: MIB (40), CONNECTIONS (200), RUNS (3), POINTS (the points of a stroke, drawn
# from this comma-separated list; 40,80,150,300,600,1200,5000), SERVER_OPTIONS (more options for
# the measured servers, e.g. "--reply-budget 24"). A binary may be a script that ends in
# `exec REAL_BINARY "$@"`, e.g. to preload another allocator.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
[ $# -gt 0 ] || set -- "$root/build/server/velmorastra-server"
mib=${MIB:-40}
connections=${CONNECTIONS:-200}
runs=${RUNS:-3}
canvas="crowd@20101201095959123"

. "$here/common.sh"

echo "== seeding about $mib MiB of strokes"
: >"$work/seed.log"
start_server "$1" "$work/seed.sqlite" "$work/seed.log" --no-limits
python3 "$here/unread_replies.py" seed "$server_port" "$canvas" "$mib" \
  "${POINTS:-40,80,150,300,600,1200,5000}"
kill "$server_pid" && wait "$server_pid" || true
server_pid=""

results="$work/results"
: >"$results"
for run in $(seq "$runs"); do
  for bin in "$@"; do
    rm -rf "$work/run" && mkdir "$work/run"
    cp -r "$work"/seed.sqlite* "$work/run/"
    : >"$work/run/server.log"
    # shellcheck disable=SC2086 # the options are words
    start_server "$bin" "$work/run/seed.sqlite" "$work/run/server.log" ${SERVER_OPTIONS:-}
    line=$(python3 "$here/unread_replies.py" measure "$server_port" "$server_pid" "$canvas" \
      "$connections")
    kill "$server_pid" && wait "$server_pid" || true
    server_pid=""
    echo "$(basename "$bin") run $run: ${line#RESULT }"
    echo "$bin $line" >>"$results"
  done
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
field() { awk -v b="$1" -v f="$2" '$1 == b { for (i = 3; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == f) print kv[2] } }' "$results"; }
range() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo "-" hi }'; }
echo
echo "== medians of $runs runs (KiB; range in brackets)"
printf '%-28s %12s %22s %22s %12s %8s\n' build rss_before "growth_unread" rss_closed hwm read_ms
for bin in "$@"; do
  printf '%-28s %12s %12s [%9s] %12s [%9s] %12s %8s\n' "$(basename "$bin")" \
    "$(field "$bin" rss_before_kib | median)" \
    "$(field "$bin" growth_kib | median)" "$(field "$bin" growth_kib | range)" \
    "$(field "$bin" rss_closed_kib | median)" "$(field "$bin" rss_closed_kib | range)" \
    "$(field "$bin" hwm_kib | median)" "$(field "$bin" whole_read_ms | median)"
done
