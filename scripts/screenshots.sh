#!/usr/bin/env bash
# Renders the README's pictures of the window and of the dialogs (offscreen) into
# docs/screenshots/. Needs a configured build directory: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target window_screenshots dialogs_screenshots
"$build/scripts/screenshots/window_screenshots" docs/screenshots
"$build/scripts/screenshots/dialogs_screenshots" docs/screenshots
ls -l docs/screenshots
