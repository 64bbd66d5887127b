#!/usr/bin/env bash
# Renders the window after a drawing on each layer (offscreen) into docs/screenshots/.
# Needs a configured build directory with the app tests: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target app_tests
QT_QPA_PLATFORM=offscreen VELMO_SCREENSHOT_DIR="$PWD/docs/screenshots" \
  "$build/tests/app/app_tests" --gtest_filter='Screenshots.*'
ls -l docs/screenshots
