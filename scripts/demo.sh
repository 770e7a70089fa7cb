#!/usr/bin/env bash
# Builds the library and runs the demo on a database file of its own,
# build/examples/kel_demo.sqlite under the repository root, or on the file
# given as the first argument (a relative path is taken from the directory the
# script is called from). The demo prints the path as it is given.
set -euo pipefail
caller_dir=$PWD
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${LIBRARY_PACKAGES[@]}"

# The demo needs neither GoogleTest nor Google Benchmark, but shares build/
# with the tests and the benchmarks: they are configured only when their
# packages are there (scripts/test.sh and scripts/bench.sh install them and
# switch them on).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_TESTS="$(installed_on_off libgtest-dev)" \
  -DKEL_BUILD_BENCH="$(installed_on_off libbenchmark-dev)" >/dev/null
cmake --build build --target kel_database_demo >/dev/null
if [ $# -eq 0 ]; then
  exec build/examples/kel_database_demo build/examples/kel_demo.sqlite
fi
demo=$PWD/build/examples/kel_database_demo
cd "$caller_dir"
exec "$demo" "$@"
