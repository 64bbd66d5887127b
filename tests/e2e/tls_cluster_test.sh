#!/usr/bin/env bash
# scripts/cluster.sh --tls with one instance: the bot draws over https trusting the self-signed
# certificate the script made, its strokes are read back through nginx, the event stream comes
# through unbuffered; the same bot without that trust is refused at the certificate and stores
# nothing. Loopback only.
#   tls_cluster_test.sh SERVER_BINARY BOT_BINARY
set -euo pipefail
server_bin=$(realpath "$1")
bot_bin=$(realpath "$2")
cd "$(dirname "$0")/../.."
work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-tls-XXXXXX")
# PostgreSQL runs as its own user under root and must reach its folder in here.
[ "$(id -u)" -eq 0 ] && chmod 755 "$work"
cluster_pid=""
finish() {
  if [ -n "$cluster_pid" ]; then
    kill -TERM "$cluster_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$cluster_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$work"
}
trap finish EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
data=$work/data
VELMO_SERVER_BIN=$server_bin scripts/cluster.sh --tls --instances 1 --port "$port" \
  --data "$data" >"$work/cluster.log" 2>&1 &
cluster_pid=$!
url=https://127.0.0.1:$port/
cert=$data/tls/cert.pem
for _ in $(seq 600); do
  grep -q "serving on $url" "$work/cluster.log" && break
  kill -0 "$cluster_pid" 2>/dev/null || break
  sleep 0.2
done
grep -q "serving on $url" "$work/cluster.log" || {
  cat "$work/cluster.log" >&2
  echo "FAIL: cluster.sh --tls did not start" >&2
  exit 1
}
openssl x509 -in "$cert" -noout -ext subjectAltName | grep -q "IP Address:127.0.0.1" ||
  fail "the certificate does not name 127.0.0.1"
curl -fs --cacert "$cert" "${url}healthz" >/dev/null || fail "healthz over https"
curl -fs "http://127.0.0.1:$port/healthz" >/dev/null 2>&1 && fail "plain http answered on the TLS port"

# strokes CANVAS: the stroke lines get_strokes answers through nginx.
strokes() {
  curl -fs --cacert "$cert" --data-binary "$1: get_strokes: " "$url" | grep -c "^$1: append: " || true
}

"$bot_bin" --server "$url" --ca-file "$cert" --strokes 3 --rate 20 --timeout 20 \
  >"$work/trusted.out" 2>"$work/trusted.err" || fail "the trusting bot exited $?"
canvas=$(sed -n 's/^canvas //p' "$work/trusted.out")
grep -q "stored once 3 of 3, missing 0, repeated 0" "$work/trusted.out" ||
  fail "the trusting bot: $(cat "$work/trusted.out" "$work/trusted.err")"
[ -n "$canvas" ] && [ "$(strokes "$canvas")" = 3 ] || fail "3 strokes not read back from $canvas"
grep -q "TLS" "$work/trusted.err" && fail "the trusting bot complained: $(cat "$work/trusted.err")"

# The stream's head and its first event must come at once, not when nginx's buffer fills.
encoded=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$canvas")
curl -s -N --max-time 3 --cacert "$cert" -D "$work/stream.head" "${url}events/$encoded" \
  >"$work/stream.body" || true
grep -qi "^content-type: text/event-stream" "$work/stream.head" ||
  fail "no event stream over https: $(cat "$work/stream.head")"
grep -q "^event: ready" "$work/stream.body" || fail "no ready event: $(head -c 300 "$work/stream.body")"

status=0
"$bot_bin" --server "$url" --strokes 2 --rate 20 --timeout 4 \
  >"$work/untrusted.out" 2>"$work/untrusted.err" || status=$?
[ "$status" -ne 0 ] || fail "the bot without --ca-file succeeded"
grep -q "TLS certificate of 127.0.0.1 refused" "$work/untrusted.err" ||
  fail "no certificate error: $(cat "$work/untrusted.err")"
refused=$(sed -n 's/^canvas //p' "$work/untrusted.out")
[ -n "$refused" ] && [ "$(strokes "$refused")" = 0 ] || fail "the refused bot stored strokes"
echo "the refused bot said: $(grep TLS "$work/untrusted.err" | head -n 2)"

[ "$failures" -eq 0 ] || exit 1
echo "ok: bot over https with the test certificate, refused without it"
