#!/usr/bin/env bash
# The real program against the simulated scanner as a USB device on a USB/IP
# server over loopback:
#   nimbrel-scanner-sim --usbip-port 0, then nimbrel-updater --usbip 127.0.0.1:PORT
# started in an empty folder, greets the scanner over USB and prints the
# greeting lines on standard output.
# Usage: usbip_test.sh PATH_TO_nimbrel-updater PATH_TO_nimbrel-scanner-sim
set -u
exe=$(readlink -f "$1")
simexe=$(readlink -f "$2")
work=$(mktemp -d)
sim=
app=
trap '[ -n "$app" ] && kill $app 2>/dev/null; [ -n "$sim" ] && kill $sim 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }

"$simexe" --usbip-port 0 --pn QV47-02HCAF-123456 --version 0x01000078 >sim.txt 2>&1 &
sim=$!
for _ in $(seq 1 100); do grep -q '^listening on 127.0.0.1:' sim.txt 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\) (usbip)$/\1/p' sim.txt | head -n 1)
check "simulator exports on a loopback port" '[ -n "$port" ]'

mkdir app && cd app
"$exe" --usbip "127.0.0.1:$port" >out.txt 2>err.txt &
app=$!
for _ in $(seq 1 100); do grep -q '^No tsCode' out.txt 2>/dev/null && break; sleep 0.1; done
# The System Info request follows the greeting lines; give it time to arrive.
for _ in $(seq 1 100); do grep -q '^system info request' ../sim.txt 2>/dev/null && break; sleep 0.1; done
kill $app 2>/dev/null; wait $app 2>/dev/null
app=

expected='Dental type
updater version:1.1.2.5
USB Connected
Greeting::normal unit
PN::'
check "log lines from the start to the greeting" '[ "$(head -n 5 out.txt | sed "s/^PN::.*/PN::/")" = "$expected" ]'
check "the version line" 'grep -qx "scanner version:1.0.0.120" out.txt'
check "the model line" 'grep -qx "ws ROHS model(QV47-XXXXAF or QV47-XXXX05)" out.txt'
check "the tsCode line" 'grep -qx "No tsCode: 0x00001" out.txt'
check "the device was imported over USB/IP" 'grep -qx "imported 1-1" ../sim.txt'
check "the simulator was asked for its System Info once" '[ "$(grep -c "^system info request" ../sim.txt)" = 1 ]'
[ $fail -eq 0 ] || { echo "--- updater"; cat out.txt err.txt; echo "--- simulator"; cat ../sim.txt; }
exit $fail
