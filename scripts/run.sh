#!/usr/bin/env bash
# Installs what is missing, builds the client and the canvas server, starts a local
# velmorastra-server on 127.0.0.1:8640 (its SQLite database at the default place) unless one
# is listening there already, and opens the client against it. Arguments go to the client:
#   scripts/run.sh                                   the first window
#   scripts/run.sh --settings /tmp/second.ini        a second client with its own settings
#   scripts/run.sh velmorastra://CANVAS-ID           open a canvas
#   scripts/run.sh --two                             two windows on one new canvas, each
#                                                    with its own settings file
# A server this script started stops when its client window closes.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libcairo2-dev libpng-dev libboost-dev libsqlite3-dev
          qt6-base-dev qt6-base-dev-tools libgl-dev)
./scripts/install-packages.sh "${packages[@]}"

build=${VELMO_BUILD_DIR:-build-run}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_BENCH=OFF
fi
cmake --build "$build" --target velmorastra velmorastra-server

listening() { (exec 3<>/dev/tcp/127.0.0.1/8640) 2>/dev/null; }

server_pid=""
if ! listening; then
  "$build/server/velmorastra-server" --listen 127.0.0.1:8640 &
  server_pid=$!
  trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; wait 2>/dev/null' EXIT
  for _ in $(seq 100); do
    listening && break
    kill -0 "$server_pid" 2>/dev/null || { echo "run.sh: the server did not start" >&2; exit 1; }
    sleep 0.1
  done
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run.sh: no display found (DISPLAY or WAYLAND_DISPLAY); try: xvfb-run scripts/run.sh" >&2
fi
client=("$build/src/app/velmorastra" --server http://127.0.0.1:8640/)
if [ "${1:-}" = "--two" ]; then
  shift
  # A fresh canvas ID (nickname, "@", GMT yyyyMMddHHmmssSSS) that both windows open.
  canvas="demo@$(date -u +%Y%m%d%H%M%S%3N)"
  config=${XDG_CONFIG_HOME:-$HOME/.config}/Velmorastra
  mkdir -p "$config"
  "${client[@]}" --settings "$config/first.ini" "$@" "velmorastra://$canvas" &
  first=$!
  "${client[@]}" --settings "$config/second.ini" "$@" "velmorastra://$canvas" &
  second=$!
  echo "run.sh: two windows on canvas $canvas; a stroke in one shows in the other within 5 s"
  wait "$first" "$second" || true
else
  "${client[@]}" "$@"
fi
