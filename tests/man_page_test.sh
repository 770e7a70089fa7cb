#!/usr/bin/env bash
# The manual page of kel_sql: it renders with groff's man macros without a
# single warning (groff -ww: every warning enabled), names every option that
# `kel_sql --help` lists, carries the project version, and its synopsis is
# the usage that `kel_sql --help` prints, as is that of DOC (docs/kel_sql.md,
# its first code block) when given.
#
#   man_page_test.sh MAN_PAGE KEL_SQL [VERSION [DOC]]
#
# Exits 77 (skipped) when groff is not installed, except under CI.
set -uo pipefail
page=${1:?path of kel_sql.1}
kel_sql=${2:?path of kel_sql}
version=${3:-}
doc=${4:-}

if ! command -v groff >/dev/null; then
  if [ -n "${CI:-}" ]; then
    echo "FAIL: groff is not installed (Debian package groff-base)"
    exit 1
  fi
  echo "groff is not installed (Debian package groff-base): skipped"
  exit 77
fi

failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

# -z: no output but the diagnostics, which must be none.
warnings=$(groff -ww -man -z "$page" 2>&1)
status=$?
[ "$status" -eq 0 ] || fail "groff -ww -man -z exited with status $status"
[ -z "$warnings" ] || fail "groff -ww -man -z printed:"$'\n'"$warnings"

help=$("$kel_sql" --help) || fail "kel_sql --help failed"
options=$(grep -oE -- '--[a-z]+' <<<"$help" | sort -u)
[ -n "$options" ] || fail "no option found in kel_sql --help"
for option in $options; do
  # In the page's source a hyphen is written \-.
  grep -qF -- "${option//-/\\-}" "$page" || fail "the manual page does not name $option"
done

# The usage lines of --help (up to the first blank line, without "Usage:"),
# and the page's SYNOPSIS as groff renders it, with blanks squeezed.
squeeze() { sed -E 's/^ +//; s/ +$//; s/ +/ /g'; }
usage=$(awk 'NR == 1 { sub(/^Usage:/, "") } /^$/ { exit } { print }' <<<"$help" | squeeze)
synopsis=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null | awk '/^[A-Z]/ { inside = ($0 == "SYNOPSIS"); next }
  inside && NF' | squeeze)
[ -n "$usage" ] || fail "no usage lines in kel_sql --help"
[ "$synopsis" = "$usage" ] ||
  fail "the manual page's synopsis is not the usage of kel_sql --help:"$'\n'"$synopsis"$'\n'"--help:"$'\n'"$usage"
if [ -n "$doc" ]; then
  doc_usage=$(awk '/^```/ { if (inside) exit; inside = 1; next } inside { print }' "$doc" | squeeze)
  [ "$doc_usage" = "$usage" ] ||
    fail "the first code block of $doc is not the usage of kel_sql --help:"$'\n'"$doc_usage"
fi

if [ -n "$version" ]; then
  head -1 "$page" | grep -qF "\"kel_database $version\"" ||
    fail "the manual page's title line does not give version $version: $(head -1 "$page")"
fi

[ "$failed" -eq 0 ] || exit 1
echo "kel_sql.1 renders without warnings and names $(wc -w <<<"$options") options:" $options
