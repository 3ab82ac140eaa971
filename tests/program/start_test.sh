#!/usr/bin/env bash
# The real program, started from a terminal in an empty folder on a headless
# machine: what it prints, its trace, and a second instance.
# Usage: start_test.sh PATH_TO_nimbrel-updater
set -u
exe=$(readlink -f "$1")
work=$(mktemp -d)
trap 'kill $first 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }

# The first instance keeps running (nothing closes it); read what it printed.
NIMBREL_TRACE=1 "$exe" >out1.txt 2>err1.txt &
first=$!
for _ in $(seq 1 100); do grep -q 'updater version:' out1.txt 2>/dev/null && break; sleep 0.1; done
check "first two lines on standard output" '[ "$(head -n 2 out1.txt)" = "$(printf "Dental type\nupdater version:1.1.2.5")" ]'
check "trace on standard error with NIMBREL_TRACE" 'grep -qx "updater version 01010205" err1.txt'

# A second instance meets both locks, reports both boxes and quits with the
# code that says so.
timeout 20 "$exe" >out2.txt 2>err2.txt
rc=$?
check "second instance exits with 6" '[ $rc -eq 6 ]'
check "dental box first, flash box second" \
  '[ "$(grep -o "using [A-Za-z]* scaner" err2.txt | tr "\n" ,)" = "using Dental scaner,using flash scaner," ]'
check "boxes are the duplicated-software boxes" '[ "$(grep -c "duplicated software: Please run after closing  other sotfware" err2.txt)" = 2 ]'
kill $first 2>/dev/null; wait $first 2>/dev/null

# Without NIMBREL_TRACE nothing of the trace is written.
timeout 3 "$exe" >out3.txt 2>err3.txt
check "no trace without NIMBREL_TRACE" '! grep -q "updater version 01010205" err3.txt'
check "log lines again" 'grep -qx "Dental type" out3.txt'
# --help and --version answer without starting anything; a bad option is
# refused with its own code.
timeout 10 "$exe" --help >help.txt 2>&1
rc=$?
check "--help exits with 0" '[ $rc -eq 0 ]'
check "--help names the options" 'grep -q -- "-S " help.txt && grep -q -- "--usbip HOST" help.txt'
check "--help names the marker files" 'grep -q "factory_mode.txt" help.txt && grep -q "skip_gui.txt" help.txt'
check "--help lists the exit codes" '[ "$(grep -cE "^  [0-9]  " help.txt)" = 6 ] && grep -qE "^  6  another instance" help.txt'
check "--version" '[ "$(timeout 10 "$exe" --version)" = "nimbrel-updater 1.1.2.5 (20181026)" ]'
timeout 10 "$exe" --usbip >bad.txt 2>&1
rc=$?
check "a malformed option exits with 2" '[ $rc -eq 2 ] && grep -q "needs HOST" bad.txt'
check "nothing of the window started" '! grep -q "Dental type" bad.txt help.txt'
exit $fail
