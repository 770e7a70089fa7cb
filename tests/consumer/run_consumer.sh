#!/usr/bin/env bash
# Installs kel_database and builds and runs the consumer project against it.
#
#   run_consumer.sh MODE --build-dir=DIR --work=DIR [options]
#
# MODE
#   install      `cmake --install` the build tree into WORK/prefix and check the
#                installed layout (libraries with their SONAME links, headers,
#                CMake package, pkg-config file, kel_sql when built).
#   installed    configure the consumer with CMAKE_PREFIX_PATH=WORK/prefix,
#                build it and run it (needs a prior `install`).
#   build-tree   configure the consumer with kel_database_DIR=the build tree,
#                build it and run it.
#   pkg-config   compile the consumer once with the flags of `pkg-config
#                kel_database` from WORK/prefix and run it (needs `install`).
# Options: --cmake=CMAKE --generator=GEN --cxx=CXX --flags=CXXFLAGS (also used
# for linking, e.g. sanitizers) --libdir=LIBDIR --includedir=INCLUDEDIR
# (relative to the prefix) --version=X.Y.Z --kel-sql=0|1 (kel_sql installed).
# Exits 77 (skipped) when pkg-config is missing outside CI.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
mode=${1:?mode}
shift
cmake_cmd=cmake generator=Ninja cxx=c++ flags="" libdir=lib includedir=include version="" kel_sql=0
build_dir="" work=""
for arg in "$@"; do
  case "$arg" in
    --cmake=*) cmake_cmd=${arg#*=} ;;
    --generator=*) generator=${arg#*=} ;;
    --cxx=*) cxx=${arg#*=} ;;
    --flags=*) flags=${arg#*=} ;;
    --libdir=*) libdir=${arg#*=} ;;
    --includedir=*) includedir=${arg#*=} ;;
    --version=*) version=${arg#*=} ;;
    --kel-sql=*) kel_sql=${arg#*=} ;;
    --build-dir=*) build_dir=$(cd "${arg#*=}" && pwd) ;;
    --work=*) work=${arg#*=} ;;
    *) echo "unknown argument $arg" >&2; exit 2 ;;
  esac
done
[ -n "$build_dir" ] && [ -n "$work" ] || { echo "--build-dir and --work are required" >&2; exit 2; }
prefix=$work/prefix

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs the consumer and checks its result line and exit status.
run_consumer() {
  local program=$1 output
  output=$("$program") || fail "$program exited with status $?; output:"$'\n'"$output"
  grep -Eqx 'consumer result: 42 kel_sql \(SQLite 3\.[0-9]+\.[0-9]+\)' <<<"$output" ||
    fail "no result line from $program; output:"$'\n'"$output"
  echo "$program: $(grep '^consumer result' <<<"$output")"
}

# The directory the dynamic linker takes libkel_database.so.1 from for `program`.
library_dir_of() {
  local path
  path=$(ldd "$1" | awk '$1 == "libkel_database.so.1" { print $3 }')
  [ -n "$path" ] || fail "ldd finds no libkel_database.so.1 for $1"
  dirname "$(realpath "$path")"
}

configure_and_build() {
  local build=$1
  shift
  rm -rf "$build"
  "$cmake_cmd" -S "$here" -B "$build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    "$@" >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; fail "configuring the consumer failed"; }
  "$cmake_cmd" --build "$build" >"$build.build.log" 2>&1 || { cat "$build.build.log"; fail "building the consumer failed"; }
}

case "$mode" in
  install)
    [ -n "$version" ] || fail "--version is required"
    major=${version%%.*}
    rm -rf "$prefix"
    mkdir -p "$work"
    "$cmake_cmd" --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 ||
      { cat "$work/install.log"; fail "cmake --install failed"; }
    for lib in kel_database kel_system; do
      real=$prefix/$libdir/lib$lib.so.$version
      [ -f "$real" ] && [ ! -L "$real" ] || fail "missing $real"
      [ "$(readlink "$prefix/$libdir/lib$lib.so.$major")" = "lib$lib.so.$version" ] ||
        fail "lib$lib.so.$major is not a link to lib$lib.so.$version"
      [ "$(readlink "$prefix/$libdir/lib$lib.so")" = "lib$lib.so.$major" ] ||
        fail "lib$lib.so is not a link to lib$lib.so.$major"
      soname=$(readelf -d "$real" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
      [ "$soname" = "lib$lib.so.$major" ] || fail "SONAME of $real is '$soname', not lib$lib.so.$major"
    done
    headers=$(cd "$prefix/$includedir" && find . -type f | sort | tr '\n' ' ')
    [ "$headers" = "./kel_database/kel_database.h ./kel_database/kel_system.h " ] ||
      fail "installed headers are '$headers', not exactly kel_database.h and kel_system.h in kel_database/"
    for file in kel_databaseConfig.cmake kel_databaseConfigVersion.cmake kel_databaseTargets.cmake; do
      [ -f "$prefix/$libdir/cmake/kel_database/$file" ] || fail "missing $libdir/cmake/kel_database/$file"
    done
    [ -f "$prefix/$libdir/pkgconfig/kel_database.pc" ] || fail "missing $libdir/pkgconfig/kel_database.pc"
    if [ "$kel_sql" = 1 ]; then
      # Without any library path: the installed client finds its libraries itself.
      answer=$(env -u LD_LIBRARY_PATH "$prefix/bin/kel_sql" --list :memory: "SELECT 6 * 7 AS answer") ||
        fail "the installed kel_sql failed"
      [ "$answer" = $'answer\n42' ] || fail "the installed kel_sql printed '$answer'"
    fi
    echo "installed into $prefix: libraries $version (SONAME .so.$major), headers, CMake package, pkg-config file"
    ;;
  installed)
    [ -d "$prefix" ] || fail "nothing installed in $prefix"
    configure_and_build "$work/installed" -DCMAKE_PREFIX_PATH="$prefix"
    found=$(sed -n 's/^kel_database_DIR:PATH=//p' "$work/installed/CMakeCache.txt")
    [ "$found" = "$prefix/$libdir/cmake/kel_database" ] || fail "find_package used '$found', not the installed package"
    [ "$(library_dir_of "$work/installed/kel_database_consumer")" = "$(realpath "$prefix/$libdir")" ] ||
      fail "the consumer does not load the installed libkel_database"
    run_consumer "$work/installed/kel_database_consumer"
    ;;
  build-tree)
    configure_and_build "$work/build-tree" -Dkel_database_DIR="$build_dir"
    [ "$(library_dir_of "$work/build-tree/kel_database_consumer")" = "$(realpath "$build_dir/src/kel_database")" ] ||
      fail "the consumer does not load the build tree's libkel_database"
    run_consumer "$work/build-tree/kel_database_consumer"
    ;;
  pkg-config)
    if ! command -v pkg-config >/dev/null; then
      [ -z "${CI:-}" ] || fail "pkg-config is not installed"
      echo "pkg-config is not installed: skipped"
      exit 77
    fi
    [ -d "$prefix" ] || fail "nothing installed in $prefix"
    export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
    got_version=$(pkg-config --modversion kel_database) || fail "pkg-config does not find kel_database"
    [ -z "$version" ] || [ "$got_version" = "$version" ] || fail "pkg-config version $got_version, not $version"
    [ "$(realpath "$(pkg-config --variable=libdir kel_database)")" = "$(realpath "$prefix/$libdir")" ] ||
      fail "the .pc file's libdir is not $prefix/$libdir"
    mkdir -p "$work/pkg-config"
    # shellcheck disable=SC2046,SC2086  # the flags are word lists
    "$cxx" $flags -std=c++17 -Wall -Wextra "$here/main.cpp" -o "$work/pkg-config/kel_database_consumer" \
      $(pkg-config --cflags --libs kel_database) || fail "compiling with the pkg-config flags failed"
    LD_LIBRARY_PATH=$prefix/$libdir run_consumer "$work/pkg-config/kel_database_consumer"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
