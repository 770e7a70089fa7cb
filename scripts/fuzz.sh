#!/usr/bin/env bash
# Builds the API-sequence fuzzer with clang (libFuzzer, ASan+UBSan over the
# whole project, in build-fuzz) and runs it for SECONDS seconds (default 120)
# on a copy of the checked-in corpus, fuzz/corpus. Any finding fails the run;
# the input that caused it is left in build-fuzz/artifacts/.
#
#   scripts/fuzz.sh 3600     # an hour
#
# The working corpus build-fuzz/corpus grows from run to run; the checked-in
# one (hand-written seed-* inputs plus a minimised set) changes only by hand,
# after a long run, keeping it small by merging on coverage edges alone:
#   build-fuzz/fuzz/api_sequence_fuzzer -merge=1 -use_counters=0 fuzz/corpus build-fuzz/corpus
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${LIBRARY_PACKAGES[@]}" "${CLANG_PACKAGES[@]}"

seconds=${1:-120}
dir=build-fuzz

echo "== $dir: build"
# The "fuzz" presets of CMakePresets.json: clang, ASan+UBSan, the fuzzer only.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

mkdir -p "$dir/corpus" "$dir/artifacts"
# The checked-in seeds join the working corpus; libFuzzer writes new inputs
# only there.
for seed in fuzz/corpus/*; do
  [ -e "$dir/corpus/${seed##*/}" ] || cp "$seed" "$dir/corpus/"
done

echo "== $dir: fuzzing for ${seconds}s"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
log="$dir/fuzz.log"
status=0
"$dir/fuzz/api_sequence_fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=2048 \
  -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
executions=${executions:-0}
corpus=$(find "$dir/corpus" -type f | wc -l)
if [ "$status" -ne 0 ]; then
  tail -n 80 "$log"
  echo "fuzz: FAILED after $executions executions (exit $status); reproducer in $dir/artifacts/" >&2
  exit 1
fi
echo "fuzz: $executions executions in ${seconds}s, no finding; working corpus $corpus inputs"
