#!/usr/bin/env bash
# The share of tests/ in the project's C++: non-blank lines that are not only
# comment, in the git-tracked *.cpp *.cc *.h *.hpp files.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  # A line counts unless it is blank, a // comment, or inside or made only of a /* */ comment.
  awk '
    { line = $0; sub(/^[ \t]+/, "", line); sub(/[ \t\r]+$/, "", line) }
    in_block { if (line ~ /\*\//) { in_block = 0; sub(/^.*\*\//, "", line); sub(/^[ \t]+/, "", line) } else next }
    line ~ /^\/\*/ { if (line !~ /\*\//) { in_block = 1; next } sub(/^\/\*.*\*\//, "", line); sub(/^[ \t]+/, "", line) }
    line == "" || line ~ /^\/\// { next }
    { n++ }
    END { print n + 0 }' "$@" /dev/null
}
mapfile -t all < <(git ls-files '*.cpp' '*.cc' '*.h' '*.hpp')
mapfile -t tests < <(git ls-files 'tests/*.cpp' 'tests/*.cc' 'tests/*.h' 'tests/*.hpp')
total=$(count "${all[@]}")
in_tests=$(count "${tests[@]}")
awk -v t="$in_tests" -v a="$total" 'BEGIN { printf "tests/: %d of %d C++ lines (%.2f)\n", t, a, t / a }'
