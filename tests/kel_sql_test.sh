#!/usr/bin/env bash
# Tests of the kel_sql client against the sqlite3 shell on the same database:
# values of every type in both layouts, several statements, standard input,
# writes seen by the shell, and errors (code and message on standard error,
# non-zero exit, nothing run after the failing statement).
#
#   kel_sql_test.sh KEL_SQL [SQLITE3]
#
# Exits 77 (skipped) when no sqlite3 shell is installed, except under CI.
set -uo pipefail

kel_sql=${1:?path of kel_sql}
sqlite3=${2:-$(command -v sqlite3 || true)}
if [ -z "$sqlite3" ] || [ ! -x "$sqlite3" ]; then
  if [ -n "${CI:-}" ]; then
    echo "FAIL: the sqlite3 shell is not installed"
    exit 1
  fi
  echo "the sqlite3 shell is not installed: skipped"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
db=$work/values.db
passed=0
failed=0

pass() { passed=$((passed + 1)); }
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}

# The sqlite3 shell without any start-up file, NULL shown as NULL.
shell() { "$sqlite3" -init /dev/null -batch -nullvalue NULL "$@" 2>"$work/shell.err"; }

# Runs kel_sql; its output, errors and status land in $work/out, $work/err, $rc.
kel() {
  "$kel_sql" "$@" >"$work/out" 2>"$work/err" </dev/null
  rc=$?
}
kel_stdin() {
  local input=$1
  shift
  "$kel_sql" "$@" >"$work/out" 2>"$work/err" <<<"$input"
  rc=$?
}

# expect_output NAME EXPECTED_FILE: kel_sql succeeded, printed exactly the
# expected text and nothing on standard error.
expect_output() {
  local name=$1 expected=$2 ok=1
  if [ "$rc" -ne 0 ]; then
    fail "$name: exit status $rc"
    ok=0
  fi
  if [ -s "$work/err" ]; then
    fail "$name: unexpected standard error:"
    cat "$work/err"
    ok=0
  fi
  if ! diff -u "$expected" "$work/out" >"$work/diff"; then
    fail "$name: output differs (--- expected, +++ kel_sql):"
    cat "$work/diff"
    ok=0
  fi
  [ "$ok" = 1 ] && pass
}

# expect_error NAME STATUS STDERR_LINE EXPECTED_STDOUT_FILE
expect_error() {
  local name=$1 status=$2 line=$3 stdout=$4 ok=1
  if [ "$rc" -ne "$status" ]; then
    fail "$name: exit status $rc, expected $status"
    ok=0
  fi
  if [ "$(cat "$work/err")" != "$line" ]; then
    fail "$name: standard error is '$(cat "$work/err")', expected '$line'"
    ok=0
  fi
  if ! diff -u "$stdout" "$work/out" >"$work/diff"; then
    fail "$name: standard output differs:"
    cat "$work/diff"
    ok=0
  fi
  [ "$ok" = 1 ] && pass
}

# ---- A database with a value of every kind, written by the shell ---------
shell "$db" <<'SQL'
CREATE TABLE v(id INTEGER PRIMARY KEY, label TEXT, val);
INSERT INTO v(id, label, val) VALUES
  (1, 'zero', 0), (2, 'one', 1), (3, 'minus one', -1), (4, 'negative', -42),
  (5, 'int64 max', 9223372036854775807), (6, 'int64 min', -9223372036854775808),
  (10, 'tenth', 0.1), (11, 'huge', 1e300), (12, 'negative zero', -0.0), (13, 'three', 3.0),
  (14, 'negative real', -2.5), (15, 'small', 1.5e-7), (16, 'two thirds', 2.0 / 3), (17, 'tiny', 1e-300),
  (18, 'big real', 123456789012345678.0), (19, 'quarter', 0.25),
  (30, 'accents', 'héllo wörld'), (31, 'cjk', '日本語'), (32, 'emoji', 'smile 😀'), (33, 'empty', ''),
  (34, 'null text', 'NULL'), (35, 'spaces', '  padded  '), (36, 'digits as text', '007'),
  (40, 'null', NULL),
  (50, 'two bytes', X'0102'), (51, 'empty blob', X''), (52, 'bytes', X'00FF10'), (53, 'text bytes', X'41420A');
SQL
[ -s "$work/shell.err" ] && { echo "the shell failed to create the test database:"; cat "$work/shell.err"; exit 1; }

plain="SELECT id, label, val, typeof(val) AS type FROM v WHERE typeof(val) <> 'blob' ORDER BY id"

# ---- List layout: identical to the shell's -header -list -----------------
shell -header -list "$db" "$plain" >"$work/expected"
kel --list "$db" "$plain"
expect_output "list layout, integers, reals, text and NULL" "$work/expected"

# Blobs: the shell's quote() writes the same X'..' literal.
shell -header -list "$db" "SELECT id, quote(val) AS val FROM v WHERE typeof(val) = 'blob' ORDER BY id" >"$work/expected"
kel --list "$db" "SELECT id, val FROM v WHERE typeof(val) = 'blob' ORDER BY id"
expect_output "list layout, blobs against quote()" "$work/expected"
printf '%s\n' "id|val" "50|X'0102'" "51|X''" "52|X'00FF10'" "53|X'41420A'" >"$work/expected"
expect_output "list layout, blobs exactly" "$work/expected"

# Reals exactly as SQLite writes them (the shell agrees, checked above).
printf '%s\n' "id|val" "10|0.1" "11|1.0e+300" "12|0.0" "13|3.0" "14|-2.5" "15|1.5e-07" "16|0.666666666666667" \
  "17|1.0e-300" "18|1.23456789012346e+17" "19|0.25" >"$work/expected"
kel --list "$db" "SELECT id, val FROM v WHERE typeof(val) = 'real' ORDER BY id"
expect_output "list layout, reals exactly" "$work/expected"

# ---- Table layout ----------------------------------------------------------
# The shell's -header -column has the same layout since 3.33 (widths fitted to
# the data, counted in code points) but pads the last column; older shells
# use fixed widths and are not compared.
shell_version=$("$sqlite3" -version | cut -d' ' -f1)
if [ "$(printf '%s\n3.33.0\n' "$shell_version" | sort -V | head -1)" = 3.33.0 ]; then
  latin="SELECT id, label, val, typeof(val) AS type FROM v WHERE id NOT IN (31, 32) AND typeof(val) <> 'blob'
         UNION ALL SELECT id, label, quote(val), 'blob' FROM v WHERE typeof(val) = 'blob' ORDER BY id"
  shell -header -column "$db" "$latin" | sed 's/ *$//' >"$work/expected"
  kel "$db" "${latin//quote(val)/val}"
  expect_output "table layout against the shell's -header -column" "$work/expected"
else
  echo "note: sqlite3 $shell_version predates fitted column widths; table layout compared with fixed text only"
fi

cat >"$work/expected" <<'EOF'
id  val        label
--  ---------  -------------
1   0          zero
4   -42        negative
12  0.0        negative zero
31  日本語        cjk
32  smile 😀    emoji
33             empty
40  NULL       null
51  X''        empty blob
52  X'00FF10'  bytes
EOF
kel "$db" "SELECT id, val, label FROM v WHERE id IN (1, 4, 12, 31, 32, 33, 40, 51, 52) ORDER BY id"
expect_output "table layout exactly (widths in code points, last column unpadded)" "$work/expected"

# ---- Several statements: per argument and within one argument ------------
args=("SELECT 1 AS a; SELECT 22 AS b" "SELECT 'x' AS c WHERE 0" "CREATE TEMP TABLE s(x); INSERT INTO s VALUES (5)"
  "SELECT x * 2 AS double FROM s; -- trailing comment")
shell -header -list "$db" "${args[@]}" >"$work/expected"
kel --list "$db" "${args[@]}"
expect_output "several statements (list) as the shell runs them" "$work/expected"
printf '%s\n' a - 1 b -- 22 double ------ 10 >"$work/expected"
kel "$db" "${args[@]}"
expect_output "several statements (table)" "$work/expected"

# ---- Writes by kel_sql, read back by the shell -----------------------------
written=$work/written.db
kel "$written" "CREATE TABLE w(x, y)" "INSERT INTO w VALUES (1, 'one'), (2.5, NULL); INSERT INTO w VALUES (X'FF', '')"
: >"$work/expected"
expect_output "writes print nothing" "$work/expected"
printf '%s\n' "1|one|integer" "2.5|NULL|real" "X'FF'||blob" >"$work/expected"
shell -list "$written" "SELECT CASE typeof(x) WHEN 'blob' THEN quote(x) ELSE x END, y, typeof(x) FROM w ORDER BY rowid" \
  >"$work/out"
if diff -u "$work/expected" "$work/out" >"$work/diff"; then pass; else
  fail "rows written by kel_sql, as the shell reads them:"
  cat "$work/diff"
fi

# ---- Standard input, one statement per line ------------------------------
input=$'SELECT label, val FROM v WHERE id IN (3, 10, 40) ORDER BY id\n\n   \n-- a comment line\n/* block */ ;\nSELECT 7 AS seven;\r'
shell -header -list "$db" <<<"${input//$'\r'/}" >"$work/expected"
kel_stdin "$input" --list "$db"
expect_output "standard input (list) as the shell runs it" "$work/expected"
printf '%s\n' "label      val" "---------  ----" "minus one  -1" "tenth      0.1" "null       NULL" seven ----- 7 \
  >"$work/expected"
kel_stdin "$input" "$db"
expect_output "standard input (table)" "$work/expected"

# ---- Errors ------------------------------------------------------------------
printf '%s\n' a - 1 >"$work/expected"
kel "$written" "SELECT 1 AS a" "SELEC 2" "INSERT INTO w VALUES (99, 'after')"
expect_error "syntax error stops the run" 1 'kel_sql: error 1: near "SELEC": syntax error' "$work/expected"
if [ "$(shell -list "$written" "SELECT count(*) FROM w WHERE x = 99")" = 0 ]; then pass; else
  fail "the statement after the failing one was run"
fi

: >"$work/empty"
kel "$db" "SELECT * FROM nope"
expect_error "missing table" 1 "kel_sql: error 1: no such table: nope" "$work/empty"

kel "$written" "CREATE TABLE u(id INTEGER PRIMARY KEY)" "INSERT INTO u VALUES (1)" "INSERT INTO u VALUES (1)"
expect_error "constraint violated while stepping" 1 "kel_sql: error 19: UNIQUE constraint failed: u.id" "$work/empty"

# Rows that came before a failing step are shown, then the error.
printf '%s\n' v - 1 >"$work/expected"
kel "$db" "SELECT CASE WHEN x = 1 THEN 1 ELSE abs(-9223372036854775807 - 1) END AS v FROM (SELECT 1 AS x UNION ALL SELECT 2)"
expect_error "rows before a failing step" 1 "kel_sql: error 1: integer overflow" "$work/expected"

printf '%s\n' a 1 >"$work/expected"
kel_stdin $'SELECT 1 AS a\nSELECT * FROM nope\nINSERT INTO w VALUES (98, \'after\')' --list "$written"
expect_error "an error on standard input stops the run" 1 "kel_sql: error 1: no such table: nope" "$work/expected"
if [ "$(shell -list "$written" "SELECT count(*) FROM w WHERE x = 98")" = 0 ]; then pass; else
  fail "the line after the failing one was run"
fi

printf 'not a database, just text that is long enough to be read as a header.............................\n' \
  >"$work/text.db"
kel "$work/text.db" "SELECT count(*) FROM sqlite_master"
expect_error "not a database file" 1 "kel_sql: error 26: file is not a database" "$work/empty"

kel "$work/no/such/dir/x.db" "SELECT 1"
expect_error "file that cannot be opened" 1 "kel_sql: error 14: unable to open database file" "$work/empty"
if [ ! -e "$work/no" ]; then pass; else fail "a directory was created for an unopenable file"; fi

# ---- Usage -------------------------------------------------------------------
kel
if [ "$rc" -eq 2 ] && [ ! -s "$work/out" ] && [ "$(head -1 "$work/err")" = "kel_sql: no database file given" ]; then pass; else
  fail "no arguments: status $rc, stderr '$(head -1 "$work/err")'"
fi
kel --frobnicate "$db"
if [ "$rc" -eq 2 ] && [ "$(head -1 "$work/err")" = "kel_sql: unknown option --frobnicate" ]; then pass; else
  fail "unknown option: status $rc, stderr '$(head -1 "$work/err")'"
fi
kel --help
if [ "$rc" -eq 0 ] && [ ! -s "$work/err" ] && [ "$(head -1 "$work/out")" = "Usage: kel_sql [--list] DB [SQL ...]" ]; then
  pass
else
  fail "--help: status $rc, first line '$(head -1 "$work/out")'"
fi
# A new file is created; "--" lets a file name start with '-'.
(cd "$work" && "$kel_sql" -- -new.db "CREATE TABLE n(x)" >/dev/null 2>&1)
if [ -f "$work/-new.db" ] && [ "$(shell -list "$work/-new.db" "SELECT name FROM sqlite_master")" = n ]; then pass; else
  fail "kel_sql -- -new.db did not create the database"
fi

echo "kel_sql: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
