#!/usr/bin/env bash
# Line and branch coverage of src/ by the test suite: a gcc --coverage build in
# build-coverage/, the ctest suite, then a gcovr report (summary on the
# console, the lines of src/ never reached in build-coverage/uncovered.txt,
# HTML in build-coverage/coverage.html). Ends with the tests' share of the
# C++ lines.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" gcovr

dir=build-coverage
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  -DCMAKE_SHARED_LINKER_FLAGS=--coverage -DKEL_BUILD_BENCH=OFF -DKEL_BUILD_FUZZ=OFF -DKEL_SANITIZE= >/dev/null
cmake --build "$dir"
find "$dir" -name '*.gcda' -delete
# The export check is left out: instrumented libraries also export gcov's symbols.
ctest --test-dir "$dir" -j "$(nproc)" --output-on-failure -E '^exports_'

# Branches that only exception unwinding or the compiler's own checks can
# take are left out: they are not decisions of the code.
report=(gcovr --root . --filter 'src/' --object-directory "$dir" --exclude-throw-branches
  --exclude-unreachable-branches --gcov-ignore-parse-errors)
"${report[@]}" --txt "$dir/uncovered.txt" --html-details "$dir/coverage.html" --print-summary
echo "lines of src/kel_database never reached (file: lines):"
grep '^src/kel_database' "$dir/uncovered.txt" | awk 'NF >= 5 && $NF != "" && $NF !~ /%$/ { print "  " $1 ": " $NF }'
scripts/test_share.sh
