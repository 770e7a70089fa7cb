#!/usr/bin/env bash
# Builds the benchmark program (build/, RelWithDebInfo), runs it once and
# prints the ratio table. Extra arguments go to the benchmark program, e.g.
# --benchmark_filter=BM_scan.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}"
command -v python3 >/dev/null || { echo "bench.sh needs python3 for the ratio table" >&2; exit 1; }

# KEL_SQLITE=sqlcipher builds on SQLCipher instead (build-sqlcipher/), where
# the program also has the encrypted and plain file workloads (BM_file_*).
build=build
sqlite=${KEL_SQLITE:-sqlite3}
if [ "$sqlite" = sqlcipher ]; then
  build=build-sqlcipher
  need_packages "${SQLCIPHER_PACKAGES[@]}"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SQLITE="$sqlite" -DKEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target kel_database_bench >/dev/null

out=$build/bench
json=$out/results.json
# The library's status lines (one per released Connection object) go to a
# log of their own; the benchmark's report is written to standard error.
# Five repetitions (25 for the short dispatch rounds) in random order, so
# that a slow spell of a busy machine falls on different variants; the table
# compares the fastest repetition of each.
"$out/kel_database_bench" \
  --benchmark_repetitions=5 \
  --benchmark_enable_random_interleaving=true \
  --benchmark_display_aggregates_only=true \
  --benchmark_min_time=0.1 \
  --benchmark_out="$json" --benchmark_out_format=json \
  "$@" >"$out/library_output.log"

echo
echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -1)"
python3 scripts/bench_ratios.py "$json"
