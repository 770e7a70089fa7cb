#!/usr/bin/env bash
# Runs the demo on a fresh database file and compares what it prints with the
# expected output (rates vary from run to run and are masked).
set -euo pipefail
demo=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$demo" "$work/demo.sqlite" >"$work/out.txt"
sed -E 's/[0-9]+ rows\/s/N rows\/s/' "$work/out.txt" >"$work/masked.txt"
cat >"$work/expected.txt" <<EXPECTED
kel_database demo on $work/demo.sqlite
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
diff -u "$work/expected.txt" "$work/masked.txt"
# A second run reuses the file: the demo starts its table afresh.
"$demo" "$work/demo.sqlite" | sed -E 's/[0-9]+ rows\/s/N rows\/s/' | diff -u "$work/expected.txt" -
echo "demo output as expected"
