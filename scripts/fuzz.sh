#!/usr/bin/env bash
# Long fuzz runs with libFuzzer (clang 14, AddressSanitizer and UBSan), one
# target at a time at the lowest priority, each for a given time or number
# of executions. Prints executions and findings per target.
#
#   scripts/fuzz.sh [-t SECONDS] [-n RUNS] [TARGET...]
#
# With both limits a target stops at whichever comes first; without any,
# after 600 seconds.
# Targets: dispatcher tscode_text backup_file tcp_stream, and whichever
# others fuzz/CMakeLists.txt lists (default: all of them). The build goes
# to build-fuzz/ (FUZZ_BUILD_DIR); each target's growing corpus and its
# findings (crashing, leaking or hanging inputs) go to
# build-fuzz/fuzz-work/TARGET/. Replay a finding with
#   build-fuzz/fuzz/TARGET_fuzzer FILE
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}

limit=()
while getopts "t:n:" opt; do
  case $opt in
    t) limit+=(-max_total_time="$OPTARG") ;;
    n) limit+=(-runs="$OPTARG") ;;
    *) echo "usage: $0 [-t SECONDS] [-n RUNS] [TARGET...]" >&2; exit 2 ;;
  esac
done
[ ${#limit[@]} -eq 0 ] && limit=(-max_total_time=600)
shift $((OPTIND - 1))

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(sed -n 's/^nimbrel_add_fuzzer(\([a-z_0-9]*\).*/\1/p' "$root/fuzz/CMakeLists.txt")
fi

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DNIMBREL_FUZZ=ON -DNIMBREL_ASAN=ON \
  -DNIMBREL_BUILD_QT=OFF -DNIMBREL_BUILD_BENCH=OFF >/dev/null
nice -n 19 cmake --build "$build" -j2 --target "${targets[@]/%/_fuzzer}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

summary=()
status=0
for t in "${targets[@]}"; do
  work="$build/fuzz-work/$t"
  mkdir -p "$work/corpus" "$work/findings"
  max_len=4096
  [ "$t" = dispatcher ] && max_len=16384
  # Targets on the shared window keep growing its log, so every input would
  # look like a possible leak and have LeakSanitizer scan the window's two
  # 50 MB buffers; their leaks are looked for at the end of the CTest smoke
  # runs of the AddressSanitizer build instead.
  leaks=1
  grep -q '"FuzzWindow.h"' "$root/fuzz/$t.cpp" 2>/dev/null && leaks=0
  log="$work/last-run.log"
  echo "== $t (${limit[*]})"
  set +e
  nice -n 19 "$build/fuzz/${t}_fuzzer" "${limit[@]}" -max_len=$max_len -detect_leaks=$leaks -timeout=60 -print_final_stats=1 \
    -artifact_prefix="$work/findings/" "$work/corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  seconds=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  findings=$(find "$work/findings" -type f | wc -l)
  [ "$rc" -ne 0 ] && status=1
  tail -n 3 "$log" | sed 's/^/   /'
  summary+=("$(printf '%-14s executions %-12s exec/s %-8s findings %s (exit %s)' "$t" "${execs:-?}" "${seconds:-?}" "$findings" "$rc")")
done
echo
printf '%s\n' "${summary[@]}"
exit $status
