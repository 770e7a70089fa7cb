#!/usr/bin/env bash
# The README's quick start against the program it shows: the code block is
# examples/quick_start.cpp exactly, and the output block holds the lines the
# program prints. The shutdown request is made on the main thread while the
# service may still be working, so its line may come anywhere before the
# release: the lines are compared as sorted lists, and the last two (the
# service's stop) in order.
#
#   quick_start_test.sh QUICK_START_PROGRAM QUICK_START_SOURCE README
set -euo pipefail
program=$1 source=$2 readme=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Code blocks of the README's "Quick start" section: $1 = cpp for the program,
# "" for the output.
section_block() {
  awk -v lang="$1" '
    !inside && /^## / { in_section = ($0 == "## Quick start"); next }
    !in_section { next }
    inside && /^```$/ { if (wanted) exit; inside = 0; next }
    inside { if (wanted) print; next }
    /^```/ { inside = 1; wanted = ($0 == "```" lang) }' "$readme"
}

section_block cpp >"$work/readme_code.cpp"
[ -s "$work/readme_code.cpp" ] || { echo "FAIL: no cpp block in the README's Quick start"; exit 1; }
diff -u "$source" "$work/readme_code.cpp" ||
  { echo "FAIL: the README's quick start code is not $source"; exit 1; }

section_block "" >"$work/readme_output.txt"
[ -s "$work/readme_output.txt" ] || { echo "FAIL: no output block in the README's Quick start"; exit 1; }
"$program" >"$work/output.txt"
diff -u <(sort "$work/readme_output.txt") <(sort "$work/output.txt") ||
  { echo "FAIL: the README's quick start output is not what the program prints"; exit 1; }
diff -u <(tail -2 "$work/readme_output.txt") <(tail -2 "$work/output.txt") ||
  { echo "FAIL: the program's last two lines are not those the README shows"; exit 1; }
echo "quick start code and output as the README shows them"
