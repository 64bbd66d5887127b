#!/usr/bin/env bash
# Installs what is missing, builds the client and the canvas server, starts a local
# velmorastra-server on 127.0.0.1:8640 (its SQLite database at the default place) unless one
# is listening there already, and opens the client against it. Arguments go to the client:
#   scripts/run.sh                                   the first window
#   scripts/run.sh --settings /tmp/second.ini        a second client with its own settings
#   scripts/run.sh velmorastra://CANVAS-ID           open a canvas
#   scripts/run.sh --two                             two windows on one new canvas, each
#                                                    with its own settings file
# A server this script started stops when its client window closes. The server also serves
# every canvas to browsers at http://127.0.0.1:8640/draw/<canvas ID> (the web client is built
# with Emscripten).
#
# Without a display (neither DISPLAY nor WAYLAND_DISPLAY set, and no QT_QPA_PLATFORM chosen)
# there is no window to open: the script starts the server, says how to reach it and how to
# open a window, and keeps the server running until Ctrl+C. With --xvfb (before the other
# arguments) it installs xvfb and runs each window under xvfb-run, on a virtual display:
#   scripts/run.sh --xvfb                            the window on a virtual display
set -euo pipefail
cd "$(dirname "$0")/.."

use_xvfb=""
if [ "${1:-}" = "--xvfb" ]; then
  use_xvfb=1
  shift
fi
headless=""
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  headless=1
fi

packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libcairo2-dev libpng-dev libzip-dev libboost-dev libsqlite3-dev
          libssl-dev libpq-dev libsystemd-dev
          qt6-base-dev qt6-base-dev-tools libgl-dev nodejs emscripten)
./scripts/install-packages.sh "${packages[@]}"

build=${VELMO_BUILD_DIR:-build-run}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_BENCH=OFF
fi
if [ -n "$headless" ] && [ -z "$use_xvfb" ]; then
  # No window to open: the server alone.
  cmake --build "$build" --target velmorastra-server velmo_web
else
  cmake --build "$build" --target velmorastra velmorastra-server velmo_web
fi
if [ -n "$use_xvfb" ]; then
  ./scripts/install-packages.sh xvfb
fi

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

if [ -n "$headless" ] && [ -z "$use_xvfb" ]; then
  cat <<EOF
run.sh: no display here (DISPLAY and WAYLAND_DISPLAY are not set), so no window opens.
  The canvas server listens on http://127.0.0.1:8640/ (open that address for its front page).
  A canvas in a browser:           http://127.0.0.1:8640/draw/demo@20261210000000000
  From another machine, forward the port first:  ssh -L 8640:127.0.0.1:8640 THIS-HOST
  A window on a virtual display:   scripts/run.sh --xvfb      (installs xvfb, uses xvfb-run)
  or, with xvfb-run installed:     xvfb-run -a $build/src/app/velmorastra --server http://127.0.0.1:8640/
  On a machine with a display, scripts/run.sh opens the window as usual.
EOF
  if [ -n "$server_pid" ]; then
    echo "run.sh: the server runs until Ctrl+C"
    wait "$server_pid"
  else
    echo "run.sh: a server was listening there already; it keeps running"
  fi
  exit 0
fi
client=("$build/src/app/velmorastra" --server http://127.0.0.1:8640/)
if [ -n "$use_xvfb" ]; then
  # -a: a free display number for each window.
  client=(xvfb-run -a -s "-screen 0 1280x1024x24" "${client[@]}")
  echo "run.sh: the window runs on a virtual display (xvfb-run); it closes with Ctrl+C"
fi
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
  echo "run.sh: the same canvas in a browser: http://127.0.0.1:8640/draw/$canvas"
  wait "$first" "$second" || true
else
  "${client[@]}" "$@"
fi
