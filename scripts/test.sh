#!/usr/bin/env bash
# Builds the project and runs the whole test suite: the normal build, then the
# same suite under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer, then a short run of the API-sequence fuzzer.
# KEL_QUICK=1 runs the normal build only.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" sqlite3 pkg-config clang libclang-rt-14-dev

jobs=$(nproc)

run_suite() {
  local dir=$1
  shift
  echo "== $dir: build"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
  echo "== $dir: tests"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "${KEL_QUICK:-0}" = 1 ]; then
  exit 0
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKEL_SANITIZE=address -DKEL_BUILD_BENCH=OFF
unset ASAN_OPTIONS UBSAN_OPTIONS

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SANITIZE=thread -DKEL_BUILD_BENCH=OFF
unset TSAN_OPTIONS

if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh 60
fi
