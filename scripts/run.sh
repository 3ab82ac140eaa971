#!/usr/bin/env bash
# The main job: sets up a fresh machine, builds the updater and the scanner
# simulator, makes the simulator a USB device (exported over USB/IP on a
# loopback port) and updates it with the updater, unattended and in real
# time: nimbrel-updater -S --usbip 127.0.0.1:PORT. Then prints what the
# scanner received (each upload's command code, size and checksum verdict)
# and the System Info record it now holds, and exits with the updater's exit
# code (see nimbrel-updater --help).
#
#   scripts/run.sh                  the whole update, unattended
#   scripts/run.sh --interactive    the window is the operator's: press "update"
#   scripts/run.sh --no-sim [ARGS]  the updater alone, as on a service PC
#
# The window shows where there is a display; without one Qt's offscreen
# platform stands in. SIM_ARGS adds options to the simulator (e.g.
# SIM_ARGS="--pn QV47-01CH00-100200").
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
mode=(-S)
if [ "${1:-}" = "--interactive" ]; then
  mode=()
  shift
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
fi

# The updater writes backup.dmp beside itself and looks for marker files in
# its working folder: both are a folder of this run's own.
work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill $sim 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/app"
cp "$build/src/nimbrel-updater" "$work/app/"
log=$work/sim.txt
# A unit with old firmware, so that every stage has something to send.
# shellcheck disable=SC2086
"$build/sim/nimbrel-scanner-sim" --usbip-port 0 --pn QV47-02HCAF-123456 --version 0x00010005 \
  --exit-after-session ${SIM_ARGS:-} >"$log" 2>&1 &
sim=$!
for _ in $(seq 1 100); do grep -q '^listening on 127.0.0.1:' "$log" && break; sleep 0.1; done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\) (usbip)$/\1/p' "$log" | head -n 1)
[ -n "$port" ] || { echo "the simulator did not start"; cat "$log"; exit 1; }
echo "simulated scanner: a USB device on 127.0.0.1:$port (USB/IP)"

status=0
(cd "$work/app" && ./nimbrel-updater "${mode[@]}" --usbip "127.0.0.1:$port" "$@") || status=$?
echo "nimbrel-updater exited with $status"

# The simulator ends by itself once the session has been ended; otherwise
# (the update stopped) it is told to.
for _ in $(seq 1 50); do kill -0 $sim 2>/dev/null || break; sleep 0.1; done
kill $sim 2>/dev/null || true
wait $sim 2>/dev/null || true
sim=
echo "--- what the simulated scanner received:"
sed -n '/^--- summary$/,$p' "$log" | tail -n +2
exit $status
