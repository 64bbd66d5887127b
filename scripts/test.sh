#!/usr/bin/env bash
# Installs what the project needs, builds it, and runs every test: the unit and socket tests,
# the core's tests compiled to WebAssembly and run under node, the same core and server tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, and a short bounded run of each fuzz
# target when clang is available.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
          libgtest-dev libgmock-dev libbenchmark-dev libcairo2-dev libpng-dev libzip-dev
          libboost-dev libsqlite3-dev libssl-dev libpq-dev postgresql-15 wrk nginx-light
          qt6-base-dev qt6-base-dev-tools libgl-dev nodejs emscripten chromium libsystemd-dev
          dpkg-dev curl openssl)
./scripts/install-packages.sh "${packages[@]}"

jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1

echo "== formatting (.clang-format)"
find src server tests bench fuzz scripts web/glue \( -name '*.h' -o -name '*.cpp' \) -print0 |
  xargs -0 clang-format --dry-run --Werror

echo "== build and test (release, with the browser page and the core's tests in WebAssembly)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_WERROR=ON -DVELMO_WEB=ON
cmake --build build -j "$jobs"
# The browser tests' packages, exactly as locked; puppeteer-core drives Debian's Chromium and
# downloads no browser.
(cd web/tests && npm ci --no-audit --no-fund)
ctest --test-dir build -j "$jobs" --timeout 600

# One sanitizer build serves both the tests and, with clang, the fuzz targets. The browser page
# is the release build's: sanitizers do not reach into WebAssembly.
sanitizer_compiler=()
fuzz=OFF
if command -v clang++ >/dev/null 2>&1; then
  sanitizer_compiler=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
  fuzz=ON
fi
echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer, fuzz targets: $fuzz)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMO_WERROR=ON \
  -DVELMO_SANITIZE=ON -DVELMO_FUZZ="$fuzz" -DVELMO_BENCH=OFF -DVELMO_WEB=OFF \
  "${sanitizer_compiler[@]}"
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j "$jobs" --timeout 900

if [ "$fuzz" = ON ]; then
  echo "== fuzz smoke runs"
  seconds=${VELMO_FUZZ_SECONDS:-20}
  shopt -s nullglob
  for target in build-asan/fuzz/*_fuzz; do
    name=$(basename "$target")
    corpus="build-asan/fuzz-corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
    echo "-- $name (${seconds}s)"
    "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "${seeds[@]}" 2>&1 | tail -n 3
  done
fi
echo "== all tests passed"
