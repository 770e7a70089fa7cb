#!/usr/bin/env bash
# Builds the library and runs the demo on a database file of its own
# (build/examples/kel_demo.sqlite, or the path given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kel_database_demo >/dev/null
exec build/examples/kel_database_demo "$@"
