#!/usr/bin/env bash
# Runs clang-tidy with the project's .clang-tidy over the sources of the
# library, the runtime, kel_sql and the demo, as BUILD_DIR (default build/)
# compiles them (its compile_commands.json). Any finding fails the run.
#   scripts/check_tidy.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/compile_commands.json" ] || { echo "check_tidy.sh: no $build/compile_commands.json; build $build first" >&2; exit 1; }
runner=$(command -v run-clang-tidy || command -v run-clang-tidy-14)
log=$build/clang-tidy.log
# The runner exits non-zero only when clang-tidy itself fails; a finding (a
# "warning:" line) fails the run here.
status=0
"$runner" -p "$build" -quiet -j "$(nproc)" \
  "$PWD/(src|tools|examples)/" >"$log" 2>&1 || status=$?
files=$(grep -c '^clang-tidy' "$log" || true)
if [ "$status" -ne 0 ] || grep -qE '(warning|error): ' "$log"; then
  grep -E '(warning|error): ' "$log" >&2 || tail -n 40 "$log" >&2
  echo "clang-tidy: findings in the sources above (full log: $log)" >&2
  exit 1
fi
echo "clang-tidy: $files files, no finding"
