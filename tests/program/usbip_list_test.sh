#!/usr/bin/env bash
# Linux's own usbip tool lists the simulated scanner exported over USB/IP:
#   nimbrel-scanner-sim --usbip-port 0, then usbip --tcp-port PORT list --remote 127.0.0.1
# Usage: usbip_list_test.sh PATH_TO_nimbrel-scanner-sim
set -u
simexe=$(readlink -f "$1")
tool=$(command -v usbip || echo /usr/sbin/usbip)
work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill $sim 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }

"$simexe" --usbip-port 0 >sim.txt 2>&1 &
sim=$!
for _ in $(seq 1 100); do grep -q '^listening on 127.0.0.1:' sim.txt 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\) (usbip)$/\1/p' sim.txt | head -n 1)
check "simulator exports on a loopback port" '[ -n "$port" ]'

# The tool takes its port option only in this separate form.
"$tool" --tcp-port "$port" list --remote 127.0.0.1 >list.txt 2>err.txt
rc=$?
check "usbip list succeeds" '[ $rc -eq 0 ]'
check "the scanner is listed with its bus id and ids" 'grep -q "^ *1-1: .*(1209:0001)$" list.txt'
check "its interface is vendor-specific" 'grep -q "0 - .*(ff/00/00)$" list.txt'
check "the simulator answered one device list" 'grep -qx "device list: 1 device" sim.txt'
[ $fail -eq 0 ] || { echo "--- usbip"; cat list.txt err.txt; echo "--- simulator"; cat sim.txt; }
exit $fail
