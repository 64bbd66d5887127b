#!/usr/bin/env bash
# Runs the browser tests against a native build: web/tests/run.sh [BUILD_DIR] [TEST FILE...]
# (default the build folder beside web/, and every *.test.js here). They start the build's server
# and bots on loopback and drive Debian's Chromium; exit 77 (skipped) without Chromium or without
# the locked packages installed here by `npm ci`.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
shift || true
export VELMO_BUILD_DIR="$build"
chromium=${VELMO_CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$chromium" ]; then
  echo "skipped: no Chromium at $chromium"
  exit 77
fi
if [ ! -f "$here/node_modules/puppeteer-core/package.json" ]; then
  echo "skipped: the test packages are not installed (npm ci in web/tests)"
  exit 77
fi
cd "$here"
if [ "$#" -eq 0 ]; then
  set -- *.test.js
fi
exec node --test --test-concurrency=1 "$@"
