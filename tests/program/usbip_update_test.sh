#!/usr/bin/env bash
# Unattended updates by the real program, in real time, against the
# simulated scanner as a USB device on a USB/IP server over loopback:
#   nimbrel-updater -S -H --usbip 127.0.0.1:PORT
#   1. a supported unit with old firmware: the whole update, every upload
#      received with a good verdict, exit code 0;
#   2. a unit this updater does not support: exit code 4, nothing uploaded;
#   3. no server on the port: exit code 3.
# Usage: usbip_update_test.sh PATH_TO_nimbrel-updater PATH_TO_nimbrel-scanner-sim
set -u
exe=$(readlink -f "$1")
simexe=$(readlink -f "$2")
work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill $sim 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY WAYLAND_DISPLAY
export QT_QPA_PLATFORM=offscreen
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }

# Starts the simulator with the given options; sets sim and port.
start_sim() {
  "$simexe" --usbip-port 0 --exit-after-session "$@" >sim.txt 2>&1 &
  sim=$!
  port=
  for _ in $(seq 1 100); do grep -q '^listening on 127.0.0.1:' sim.txt 2>/dev/null && break; sleep 0.1; done
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\) (usbip)$/\1/p' sim.txt | head -n 1)
}
stop_sim() {
  for _ in $(seq 1 50); do kill -0 "$sim" 2>/dev/null || break; sleep 0.1; done
  kill "$sim" 2>/dev/null
  wait "$sim" 2>/dev/null
  sim=
}
# Runs a copy of the updater in a fresh folder of its own (it writes
# backup.dmp beside itself); sets rc.
run_updater() {
  rm -rf app && mkdir app && cp "$exe" app/
  (cd app && timeout 120 ./nimbrel-updater -S -H --usbip "$1" >out.txt 2>err.txt)
  rc=$?
}

echo "== a supported unit"
start_sim --pn QV47-02HCAF-123456 --version 0x00010005
check "simulator exports on a loopback port" '[ -n "$port" ]'
run_updater "127.0.0.1:$port"
stop_sim
check "exit code 0" '[ "$rc" = 0 ]'
check "the final lines" 'grep -qx "update bootloader, gui resources, solution, FPGA done" app/out.txt &&
  grep -qx "to update System, please reset power switch of Scanner" app/out.txt'
check "five uploads" 'grep -qx "uploads received: 5" sim.txt'
check "in the order of the stages" '[ "$(sed -n "s/^  upload [0-9]*: command \(0x[0-9A-F]*\),.*/\1/p" sim.txt | tr "\n" " ")" = \
  "0x00200000 0x00400000 0x00100000 0x00300000 0x00000000 " ]'
check "every verdict good" '[ "$(grep -c "^  upload [0-9]*: .*: ok$" sim.txt)" = 5 ]'
check "the session was ended" 'grep -q "^end of session" sim.txt'
check "backup.dmp written beside the program" '[ "$(stat -c %s app/backup.dmp 2>/dev/null)" = 512 ]'
[ $fail -eq 0 ] || { echo "--- updater"; cat app/out.txt app/err.txt; echo "--- simulator"; cat sim.txt; exit 1; }

echo "== a unit it does not support"
start_sim --pn QV47-13HCAG-000001 --version 0x00010005
run_updater "127.0.0.1:$port"
stop_sim
check "exit code 4" '[ "$rc" = 4 ]'
check "the refusal lines" 'grep -qx "Updater is not supposed to support this unit" app/out.txt'
check "nothing uploaded" 'grep -qx "uploads received: 0" sim.txt'
[ $fail -eq 0 ] || { echo "--- updater"; cat app/out.txt app/err.txt; echo "--- simulator"; cat sim.txt; exit 1; }

echo "== no server"
# A port that was just free: the simulator listened on it and has ended.
start_sim
free=$port
kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; sim=
run_updater "127.0.0.1:$free"
check "exit code 3" '[ "$rc" = 3 ]'
[ $fail -eq 0 ] || { echo "--- updater"; cat app/out.txt app/err.txt; }
exit $fail
