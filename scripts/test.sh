#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
# Extra arguments go to ctest (e.g. -L net, -R name).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
cd "$BUILD"
ctest --output-on-failure -j2 "$@"
