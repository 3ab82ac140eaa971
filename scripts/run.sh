#!/usr/bin/env bash
# Sets up a fresh machine, builds the updater and starts it.
# Arguments are passed on to the updater (for example -S -H).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j"$(nproc)" --target nimbrel-updater
exec "$build/src/nimbrel-updater" "$@"
