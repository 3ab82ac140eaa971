#!/usr/bin/env bash
# Sets up a fresh machine, builds everything and runs every test.
# BUILD_DIR (default build/) and extra CMake options in CMAKE_ARGS may be given.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DNIMBREL_WERROR=ON ${CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
