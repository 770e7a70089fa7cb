#!/usr/bin/env bash
# Runs the demo on a fresh database file and compares what it prints with the
# expected output (rates vary from run to run and are masked); with README,
# also the output the README shows for `scripts/demo.sh`.
#
#   demo_test.sh DEMO [README]
set -euo pipefail
demo=$(realpath "$1")
readme=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mask_rates() { sed -E 's/[0-9]+ rows\/s/N rows\/s/'; }

# The expected output for a database file given as $1.
expected_for() {
  cat <<EXPECTED
kel_database demo on $1
inserted 5000 books in one transaction: N rows/s
books published since 1950, by author:
  author      books   pages  first
  Achebe        497  259162   1950
  Borges        498  259554   1951
  Calvino       497  262812   1950
  Duras         497  260329   1951
  Eco           498  266376   1950
  Flaubert      497  264033   1951
6 rows, rows_each returned 101 (SQLITE_DONE); scanned 5000 books at N rows/s
timer: fired once after 20 ms
interval: tick 1
interval: tick 2
interval: tick 3
left objects in database reference count: 0
DATABASE SERVICE SHOT DONW REQUEST
DATABASE THREAD SERVICE STOPPED
DATABASE SERVICE DONE
EXPECTED
}

expected_for "$work/demo.sqlite" >"$work/expected.txt"
"$demo" "$work/demo.sqlite" | mask_rates >"$work/masked.txt"
diff -u "$work/expected.txt" "$work/masked.txt"
# A second run reuses the file: the demo starts its table afresh.
"$demo" "$work/demo.sqlite" | mask_rates | diff -u "$work/expected.txt" -

# As scripts/demo.sh runs it: a path relative to the current directory, which
# the demo uses and prints as given.
relative=build/examples/kel_demo.sqlite
expected_for "$relative" >"$work/expected_relative.txt"
mkdir -p "$work/root/build/examples"
(cd "$work/root" && "$demo" "$relative") | mask_rates | diff -u "$work/expected_relative.txt" -
[ -s "$work/root/$relative" ] || { echo "FAIL: the demo did not write $work/root/$relative"; exit 1; }

if [ -n "$readme" ]; then
  # The first code block after the README's description of the demo.
  awk '/^`scripts\/demo.sh` runs/ { found = 1 } found && /^```/ { if (inside) exit; inside = 1; next } inside' \
    "$readme" | mask_rates >"$work/readme.txt"
  diff -u "$work/expected_relative.txt" "$work/readme.txt" ||
    { echo "FAIL: the demo output shown in $readme is not what the demo prints"; exit 1; }
fi
echo "demo output as expected"
