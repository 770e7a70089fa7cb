#!/usr/bin/env bash
# The macOS build links only the SQLite functions macOS 11.3 has:
#   - the sysroot's libsqlite3.tbd exports exactly the symbols of Apple's list,
#     under the install name and versions of macOS 11.3's libsqlite3;
#   - a scratch project configured with the toolchain links a program calling
#     functions of that list, which then loads /usr/lib/libsqlite3.dylib with
#     those versions, and fails to link one calling sqlite3_error_offset
#     (SQLite 3.38, which sqlite3.h declares but macOS 11 lacks), the link
#     error naming the function;
#   - every SQLite symbol each given Mach-O file binds is on the list (the
#     first one, libkel_database, must bind some).
#
#   sqlite_link_test.sh TOOLCHAIN_FILE SYSROOT CMAKE WORK_DIR SYMBOL_LIST LIBRARY [MACHO_FILE...]
#
# Tools: OTOOL and OBJDUMP from the environment (default the llvm-14 ones).
set -euo pipefail
export LC_ALL=C
toolchain=$1 sysroot=$2 cmake_cmd=$3 work=$4 list=$5
shift 5
[ $# -ge 1 ] || { echo "usage: $0 TOOLCHAIN_FILE SYSROOT CMAKE WORK_DIR SYMBOL_LIST LIBRARY [MACHO_FILE...]" >&2; exit 2; }
otool=${OTOOL:-llvm-otool-14}
objdump=${OBJDUMP:-llvm-objdump-14}
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Apple's names, as Mach-O symbols (with the leading underscore).
grep -v '^#' "$list" | sed 's/^/_/' | sort -u >"$work/apple"
[ -s "$work/apple" ] || fail "no symbols in $list"

# ---- The stub -----------------------------------------------------------------
stub=$sysroot/usr/lib/libsqlite3.tbd
sed -n "s/^ *- '\(.*\)'\$/\1/p" "$stub" | sort >"$work/stub"
if ! diff -u "$work/apple" "$work/stub" >"$work/stub.diff"; then
  fail "$stub does not export exactly the symbols of $list (- list only, + stub only):"$'\n'"$(tail -n +3 "$work/stub.diff")"
fi
for line in "install-name:    '/usr/lib/libsqlite3.dylib'" "current-version: 321.3" "compatibility-version: 9"; do
  grep -qxF "$line" "$stub" || fail "$stub lacks the line '$line'"
done
echo "$stub: $(wc -l <"$work/stub") symbols, those of $list"

# ---- A scratch build ----------------------------------------------------------
mkdir -p "$work/src"
cat >"$work/src/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(kel_sqlite_link_scratch LANGUAGES C)
find_package(SQLite3 REQUIRED)
add_executable(listed listed.c)
target_link_libraries(listed PRIVATE SQLite::SQLite3)
add_executable(newer newer.c)
target_link_libraries(newer PRIVATE SQLite::SQLite3)
EOF
cat >"$work/src/listed.c" <<'EOF'
#include <sqlite3.h>
#include <stdio.h>
int main(void) {
  sqlite3* db = NULL;
  int rc = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE, NULL);
  puts(sqlite3_errmsg(db));
  sqlite3_close_v2(db);
  return rc;
}
EOF
cat >"$work/src/newer.c" <<'EOF'
#include <sqlite3.h>
#include <stddef.h>
int main(void) {
  sqlite3* db = NULL;
  sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE, NULL);
  int offset = sqlite3_error_offset(db);
  sqlite3_close_v2(db);
  return offset;
}
EOF
if ! "$cmake_cmd" -S "$work/src" -B "$work/build" -G Ninja --toolchain "$toolchain" -DKEL_MACOS_SYSROOT="$sysroot" \
  >"$work/configure.log" 2>&1; then
  cat "$work/configure.log"
  fail "the scratch project does not configure"
else
  if "$cmake_cmd" --build "$work/build" --target listed >"$work/listed.log" 2>&1; then
    loads=$("$otool" -L "$work/build/listed")
    grep -qE '^[[:space:]]+/usr/lib/libsqlite3\.dylib \(compatibility version 9\.0\.0, current version 321\.3\.0\)$' \
      <<<"$loads" || fail "the program calling listed functions does not load libsqlite3 9.0.0 (321.3):"$'\n'"$loads"
    echo "listed functions: linked, loads $(grep libsqlite3 <<<"$loads" | sed 's/^[[:space:]]*//')"
  else
    cat "$work/listed.log"
    fail "a program calling sqlite3_open_v2, sqlite3_errmsg and sqlite3_close_v2 does not link"
  fi
  if "$cmake_cmd" --build "$work/build" --target newer >"$work/newer.log" 2>&1; then
    fail "a program calling sqlite3_error_offset links"
  elif ! grep -q 'error: undefined symbol: _sqlite3_error_offset$' "$work/newer.log"; then
    cat "$work/newer.log"
    fail "linking a program calling sqlite3_error_offset fails, but not naming the function"
  elif [ -e "$work/build/newer" ]; then
    fail "the failed link left $work/build/newer behind"
  else
    echo "sqlite3_error_offset: the link fails with '$(grep -m1 'undefined symbol: _sqlite3_error_offset' "$work/newer.log")'"
  fi
fi

# ---- What the build's files bind ------------------------------------------------
for file in "$@"; do
  "$objdump" --macho --bind --lazy-bind "$file" | awk 'NF >= 2 && $(NF - 1) == "libsqlite3" { print $NF }' | sort -u \
    >"$work/bound" || fail "$objdump cannot read $file"
  if [ ! -s "$work/bound" ]; then
    [ "$file" != "$1" ] || fail "$file binds no SQLite symbol"
    echo "$(basename "$file"): no SQLite symbols"
    continue
  fi
  comm -23 "$work/bound" "$work/apple" >"$work/unlisted"
  [ ! -s "$work/unlisted" ] || fail "$file binds SQLite symbols macOS 11.3 lacks: $(tr '\n' ' ' <"$work/unlisted")"
  echo "$(basename "$file"): $(wc -l <"$work/bound") SQLite symbols, all on the list: $(tr '\n' ' ' <"$work/bound")"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s)"
  exit 1
fi
echo "the macOS build links only what macOS 11.3's libsqlite3 exports"
