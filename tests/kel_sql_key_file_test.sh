#!/usr/bin/env bash
# kel_sql --key-file. On SQLCipher: a database written with a key holds none
# of its text, reads back with the key (as arguments and on standard input),
# and is the database the sqlcipher shell opens with PRAGMA key and the same
# passphrase, quotes included; a wrong or missing key fails at the first
# statement with SQLite's code 26 and status 1, leaving the file as it was;
# the key is never printed; unreadable and empty key files, and a first line
# longer than 4096 bytes, are usage errors that open nothing. On plain SQLite: --key-file is refused and nothing is
# written.
#
#   kel_sql_key_file_test.sh KEL_SQL sqlite3|sqlcipher
set -uo pipefail

kel_sql=${1:?path of kel_sql}
library=${2:?sqlite3 or sqlcipher}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}

# Runs kel_sql; its output, errors and status land in $work/out, $work/err, $rc.
kel() {
  "$kel_sql" "$@" >"$work/out" 2>"$work/err" </dev/null
  rc=$?
}
# Checks status, standard output and standard error exactly.
expect() {
  local what=$1 status=$2 out=$3 err=$4
  if [ "$rc" -eq "$status" ] && [ "$(cat "$work/out")" = "$out" ] && [ "$(cat "$work/err")" = "$err" ]; then pass; else
    fail "$what: status $rc (expected $status), stdout '$(cat "$work/out")', stderr '$(cat "$work/err")'"
  fi
}

db=$work/secret.db
if [ "$library" = sqlite3 ]; then
  printf '%s\n' 'a key' >"$work/key"
  kel --key-file "$work/key" "$db" "CREATE TABLE t(x)"
  expect "--key-file without encryption" 2 "" \
    "kel_sql: --key-file: this kel_sql has no encryption (kel_database is built on SQLite, not SQLCipher); nothing was opened"
  if [ ! -e "$db" ]; then pass; else fail "--key-file without encryption created $db"; fi
  echo "kel_sql --key-file: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi

sqlcipher=$(command -v sqlcipher || true)
[ -n "$sqlcipher" ] || fail "the sqlcipher shell is not installed (Debian package sqlcipher)"

# A key with quotes, a semicolon, a comment opener and a blank: nothing of it
# may end the key early or reach the SQL as SQL.
key=$'it\'s a "key"; -- /* x'
marker=kel-key-file-marker
printf '%s\n' "$key" >"$work/key"
printf '%s\n' 'it is not the key' >"$work/wrong"

kel --key-file "$work/key" "$db" "CREATE TABLE t(x TEXT)" "INSERT INTO t VALUES ('$marker 1'), ('$marker 2')"
expect "writing with the key" 0 "" ""
if [ -s "$db" ] && ! grep -qF "$marker" "$db" && [ "$(head -c 15 "$db")" != "SQLite format 3" ]; then pass; else
  fail "the keyed database shows its text or SQLite's plain header"
fi
cp "$db" "$work/before.db"

kel --list --key-file "$work/key" "$db" "SELECT x FROM t ORDER BY x"
expect "reading with the key" 0 $'x\n'"$marker 1"$'\n'"$marker 2" ""
# The key file's line end may be \r\n; --key-file=FILE is the same option.
printf '%s\r\n' "$key" >"$work/key-crlf"
kel --list --key-file="$work/key-crlf" "$db" "SELECT count(*) AS n FROM t"
expect "a key file with \\r\\n, --key-file=FILE" 0 $'n\n2' ""
# Standard input, keyed before its first statement.
printf 'SELECT count(*) AS n\n  FROM t;\n' | "$kel_sql" --list --key-file "$work/key" "$db" >"$work/out" 2>"$work/err"
rc=$?
expect "standard input with the key" 0 $'n\n2' ""

# The sqlcipher shell opens it with the same passphrase given as PRAGMA key.
quoted=${key//\'/\'\'}
shell_rows=$(printf "PRAGMA key = '%s';\nSELECT x FROM t ORDER BY x;\n" "$quoted" | "$sqlcipher" -batch "$db" 2>&1)
if [ "$shell_rows" = "$marker 1"$'\n'"$marker 2" ]; then pass; else
  fail "sqlcipher with PRAGMA key = '<the key>' read: '$shell_rows'"
fi

# Wrong key, no key: the first statement fails with 26; the file is unchanged.
notadb="kel_sql: error 26: file is encrypted or is not a database"
kel --key-file "$work/wrong" "$db" "SELECT x FROM t" "INSERT INTO t VALUES ('never')"
expect "a wrong key" 1 "" "$notadb"
kel "$db" "SELECT x FROM t"
expect "no key" 1 "" "$notadb"
printf 'SELECT x\n  FROM t;\n' | "$kel_sql" --key-file "$work/wrong" "$db" >"$work/out" 2>"$work/err"
rc=$?
expect "a wrong key on standard input" 1 "" "kel_sql: error 26 (line 1): file is encrypted or is not a database"
if cmp -s "$db" "$work/before.db"; then pass; else fail "a wrong key or none changed the file"; fi
# A plain database given a key fails the same way, and stays as it was.
plain=$work/plain.db
kel "$plain" "CREATE TABLE p(x)" "INSERT INTO p VALUES ('$marker')"
cp "$plain" "$work/plain-before.db"
kel --key-file "$work/key" "$plain" "SELECT x FROM p"
expect "a plain database with a key" 1 "" "$notadb"
if cmp -s "$plain" "$work/plain-before.db" && grep -qF "$marker" "$plain"; then pass; else
  fail "a key changed the plain database"
fi

# Key files that give no key: usage errors, and no database is created.
new=$work/new.db
kel --key-file "$work/missing" "$new" "CREATE TABLE t(x)"
expect "a missing key file" 2 "" "kel_sql: cannot read the key file $work/missing: No such file or directory"
printf '\nsecond line\n' >"$work/empty"
kel --key-file "$work/empty" "$new" "CREATE TABLE t(x)"
expect "an empty first line" 2 "" "kel_sql: the key file $work/empty holds no key: its first line is empty"
kel --key-file
if [ "$rc" -eq 2 ] && [ "$(head -1 "$work/err")" = "kel_sql: --key-file needs the name of the file holding the key" ]; then
  pass
else
  fail "--key-file without a file: status $rc, '$(head -1 "$work/err")'"
fi
# The first line may hold at most 4096 bytes (its line end aside): a longer
# one, or a file that never ends a line, is refused after that much is read.
too_long="kel_sql: cannot read the key file %s: its first line is longer than 4096 bytes"
kel --key-file /dev/zero "$new" "CREATE TABLE t(x)"
expect "/dev/zero as the key file" 2 "" "$(printf "$too_long" /dev/zero)"
long=$(head -c 4097 /dev/zero | tr '\0' k)
printf '%s\n' "$long" >"$work/long"
kel --key-file "$work/long" "$new" "CREATE TABLE t(x)"
expect "a first line of 4097 bytes" 2 "" "$(printf "$too_long" "$work/long")"
printf '%s\r\n' "$long" >"$work/long-crlf"
kel --key-file "$work/long-crlf" "$new" "CREATE TABLE t(x)"
expect "a first line of 4097 bytes and CRLF" 2 "" "$(printf "$too_long" "$work/long-crlf")"
# 4096 bytes are a key, with either line end or none.
printf '%s\n' "${long:1}" >"$work/longest"
printf '%s\r\n' "${long:1}" >"$work/longest-crlf"
printf '%s' "${long:1}" >"$work/longest-bare"
kel --key-file "$work/longest" "$work/longest.db" "CREATE TABLE t(x)" "INSERT INTO t VALUES ('$marker')"
expect "a key of 4096 bytes" 0 "" ""
for file in longest longest-crlf longest-bare; do
  kel --list --key-file "$work/$file" "$work/longest.db" "SELECT x FROM t"
  expect "reading with the key of 4096 bytes ($file)" 0 $'x\n'"$marker" ""
done
kel --key-file "$work/long" "$work/longest.db" "SELECT x FROM t"
if [ "$rc" -eq 2 ] && ! grep -qF "$marker" "$work/longest.db"; then pass; else
  fail "the key of 4097 bytes: status $rc, or the database holds its text"
fi
rm -f "$new"
kel --key-file "$work/missing" "$new"
if [ ! -e "$new" ]; then pass; else fail "a failed key file left $new behind"; fi

# An error on a keyed database is SQLite's, as ever.
kel --key-file "$work/key" "$db" "SELECT nothing FROM nowhere"
expect "an error on a keyed database" 1 "" "kel_sql: error 1: no such table: nowhere"

echo "kel_sql --key-file: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
