#!/usr/bin/env bash
# Sets up a fresh machine, builds everything and runs every test, three times,
# each build in a folder of its own:
#   1. the normal build with warnings as errors: everything, the Qt program,
#      its tests and the benchmarks included (BUILD_DIR, default build/);
#   2. AddressSanitizer and UndefinedBehaviorSanitizer (BUILD_DIR-asan);
#   3. ThreadSanitizer (BUILD_DIR-tsan).
# The sanitizer builds leave out what the sanitizers cannot look into or do
# not need: the Qt program and its tests (Qt itself is not instrumented),
# the benchmarks, and the image-folder build test (a build of its own, no
# code of ours runs in it). Every sanitizer report stops the test process
# with a failing exit code, so the test fails and with it this script.
#
# CONFIGS chooses among them (default "normal asan tsan"; for example
# CONFIGS=normal for a quick local run). Extra CMake options in CMAKE_ARGS go
# to every build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
jobs=$(nproc)
bash "$root/scripts/setup.sh"

run() {
  local dir=$1
  shift
  echo "== $(basename "$dir")"
  cmake -S "$root" -B "$dir" -G Ninja -DNIMBREL_WERROR=ON ${CMAKE_ARGS:-} "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

configs=" ${CONFIGS:-normal asan tsan} "
sanitized=(-DNIMBREL_BUILD_QT=OFF -DNIMBREL_BUILD_BENCH=OFF)

if [[ $configs == *" normal "* ]]; then
  run "$build"
  ctest --test-dir "$build" -j"$jobs" --output-on-failure
fi

if [[ $configs == *" asan "* ]]; then
  run "$build-asan" -DNIMBREL_ASAN=ON "${sanitized[@]}"
  ASAN_OPTIONS=halt_on_error=1:exitcode=86:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1 \
  UBSAN_OPTIONS=halt_on_error=1:exitcode=86:print_stacktrace=1 \
    ctest --test-dir "$build-asan" -j"$jobs" --output-on-failure -LE build
fi

if [[ $configs == *" tsan "* ]]; then
  run "$build-tsan" -DNIMBREL_TSAN=ON "${sanitized[@]}"
  TSAN_OPTIONS=halt_on_error=1:exitcode=86:second_deadlock_stack=1 \
    ctest --test-dir "$build-tsan" -j"$jobs" --output-on-failure -LE build
fi
