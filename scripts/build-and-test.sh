#!/usr/bin/env bash
# Builds everything and runs every test. Installs the Debian packages it needs first.
#   BUILD_DIR   build directory (default: build)
#   JOBS        parallel jobs (default: all cores)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir="${BUILD_DIR:-build}"
jobs="${JOBS:-$(nproc)}"

# usb: the Linux platform layer links libusb, and its tests emulate devices with umockdev.
# qt: the desktop window and its offscreen widget tests.
scripts/install-deps.sh build test usb qt
# Explicit ON: the main-job script may have configured the same directory without them.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNEL_BUILD_TESTS=ON -DVARNEL_BUILD_BENCH=ON -DVARNEL_WERROR=ON
cmake --build "$build_dir" -j"$jobs"
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error -j"$jobs" </dev/null
