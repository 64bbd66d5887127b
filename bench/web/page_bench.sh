#!/usr/bin/env bash
# The browser page against the bot, on a fresh local server: its files' sizes, its load time
# (empty and seeded canvas, fresh profile and cached files) and a stroke each way between the
# page and a watching bot, in Debian's headless Chromium. Everything listens on 127.0.0.1 only.
#
#   bench/web/page_bench.sh [BUILD_DIR]
#
# Environment: STROKES (2000), RUNS (10), N (30), RATE (5); see page_bench.js. Needs the
# browser tests' packages: `npm ci` in web/tests.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
for file in "$build/server/velmorastra-server" "$build/src/app/bot/velmorastra-bot"; do
  [ -x "$file" ] || { echo "no $file (build it first)" >&2; exit 1; }
done
[ -f "$build/web/velmorastra-web.wasm" ] ||
  { echo "no browser page in $build/web (build it first)" >&2; exit 1; }
chromium=${VELMO_CHROMIUM:-/usr/bin/chromium}
[ -x "$chromium" ] || { echo "no Chromium at $chromium" >&2; exit 1; }
[ -f "$root/web/tests/node_modules/puppeteer-core/package.json" ] ||
  { echo "the browser tests' packages are missing: run npm ci in web/tests" >&2; exit 1; }

export VELMO_BUILD_DIR="$build"
exec node "$here/page_bench.js"
