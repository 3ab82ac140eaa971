#!/usr/bin/env bash
# The real program on a machine without a scanner (this one has no USB at
# all), started in an empty folder with no display: Connect ends with the
# "can't connect Scanner" box on standard error, and a silent hidden run
# closes by itself once its one-second silent connect finds nothing.
# Usage: usb_noscanner_test.sh PATH_TO_nimbrel-updater
set -u
exe=$(readlink -f "$1")
work=$(mktemp -d)
app=
trap '[ -n "$app" ] && kill $app 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }

# Connect, pressed once the window is up; the box is answered and the
# program keeps running.
"$exe" --connect >out1.txt 2>err1.txt &
app=$!
for _ in $(seq 1 300); do grep -q "can't connect Scanner" err1.txt 2>/dev/null && break; sleep 0.1; done
kill $app 2>/dev/null; wait $app 2>/dev/null; app=
check "the box on standard error" \
  'grep -qx "message box (answered OK): Check connection: can'"'"'t connect Scanner" err1.txt'
check "no USB connection in the log" '! grep -q "USB Connected" out1.txt'

# -S -H: closes by itself, with no box.
start=$(date +%s%N)
NIMBREL_TRACE=1 timeout 60 "$exe" -S -H >out2.txt 2>err2.txt
rc=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
check "silent hidden run ends by itself with 0" '[ $rc -eq 0 ]'
check "not before its one-second silent connect (${elapsed_ms} ms)" '[ $elapsed_ms -ge 1000 ]'
check "silent mode" 'grep -qx "silenetmode fw updater" err2.txt'
check "no box in silent mode" '! grep -q "message box" err2.txt'
check "no USB connection in the log" '! grep -q "USB Connected" out2.txt'
[ $fail -eq 0 ] || { echo "--- Connect"; cat out1.txt err1.txt; echo "--- -S -H"; cat out2.txt err2.txt; }
exit $fail
