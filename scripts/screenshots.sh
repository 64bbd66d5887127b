#!/usr/bin/env bash
# Renders the README's pictures of the window and of the dialogs (offscreen) into
# docs/screenshots/. Needs a configured build directory: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target window_screenshots dialogs_screenshots
"$build/scripts/screenshots/window_screenshots" docs/screenshots
"$build/scripts/screenshots/dialogs_screenshots" docs/screenshots

# The canvas server's front page, in a real browser: a server on a free loopback port with a
# throw-away database, three canvases drawn by the bot, then Chromium headless (Debian's
# chromium package; skipped without it).
if command -v chromium >/dev/null; then
  cmake --build "$build" --target velmorastra-server velmorastra-bot
  work=$(mktemp -d)
  trap 'kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
  # Without --public-url the server names itself by the address it got.
  "$build/server/velmorastra-server" --listen 127.0.0.1:0 --db "$work/canvas.sqlite" \
    --quiet 2>"$work/server.log" &
  server=$!
  for _ in $(seq 100); do grep -q "listening on" "$work/server.log" && break; sleep 0.1; done
  url=$(grep -o "http://127.0.0.1:[0-9]*/" "$work/server.log" | head -1)
  for seed in 1 2 3; do
    "$build/src/app/bot/velmorastra-bot" --server "$url" --nickname "artist$seed" \
      --strokes 12 --rate 50 --points 24 --seed "$seed" --layer $(((seed - 1) % 2)) >/dev/null
  done
  chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=900,760 \
    --screenshot="$PWD/docs/screenshots/server_front_page.png" "$url"
fi
ls -l docs/screenshots
