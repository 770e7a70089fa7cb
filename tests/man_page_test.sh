#!/usr/bin/env bash
# The manual page of kel_sql: it renders with groff's man macros without a
# single warning (groff -ww: every warning enabled), names every option that
# `kel_sql --help` lists, and carries the project version.
#
#   man_page_test.sh MAN_PAGE KEL_SQL [VERSION]
#
# Exits 77 (skipped) when groff is not installed, except under CI.
set -uo pipefail
page=${1:?path of kel_sql.1}
kel_sql=${2:?path of kel_sql}
version=${3:-}

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

if [ -n "$version" ]; then
  head -1 "$page" | grep -qF "\"kel_database $version\"" ||
    fail "the manual page's title line does not give version $version: $(head -1 "$page")"
fi

[ "$failed" -eq 0 ] || exit 1
echo "kel_sql.1 renders without warnings and names $(wc -w <<<"$options") options:" $options
