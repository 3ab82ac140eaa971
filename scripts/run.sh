#!/usr/bin/env bash
# Sets up a fresh machine, builds the updater and the scanner simulator, and
# starts the updater against the simulated scanner on a loopback port.
#   scripts/run.sh [UPDATER ARGS...]      against the simulator (e.g. -S -H)
#   scripts/run.sh --no-sim [ARGS...]     the updater alone, as on a service PC
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j"$(nproc)" --target nimbrel-updater nimbrel-scanner-sim

if [ "${1:-}" = "--no-sim" ]; then
  shift
  exec "$build/src/nimbrel-updater" "$@"
fi

log=$(mktemp)
"$build/sim/nimbrel-scanner-sim" --port 0 --pn QV47-02HCAF-123456 --version 0x01000078 >"$log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; echo "--- what the simulated scanner received:"; cat "$log"; rm -f "$log"' EXIT
for _ in $(seq 1 100); do grep -q '^listening on 127.0.0.1:' "$log" && break; sleep 0.1; done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" | head -n 1)
[ -n "$port" ] || { echo "the simulator did not start"; cat "$log"; exit 1; }
echo "simulated scanner on 127.0.0.1:$port"
"$build/src/nimbrel-updater" --ethernet "127.0.0.1:$port" "$@"
