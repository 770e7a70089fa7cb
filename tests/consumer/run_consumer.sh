#!/usr/bin/env bash
# Installs kel_database and builds and runs the consumer project against it.
#
#   run_consumer.sh MODE --build-dir=DIR --work=DIR [options]
#
# MODE
#   install      `cmake --install` the build tree into WORK/prefix and check the
#                installed layout (libraries with their SONAME links, headers,
#                CMake package, pkg-config file, kel_sql and its manual page
#                when built): a plain install brings no runtime; with the
#                bundled runtime, that is then installed as the component
#                kel_system.
#   installed    configure the consumer with CMAKE_PREFIX_PATH=WORK/prefix,
#                build it and run it (needs a prior `install`).
#   build-tree   configure the consumer with kel_database_DIR=the build tree,
#                build it and run it.
#   pkg-config   compile the consumer once with the flags of `pkg-config
#                kel_database` from WORK/prefix and run it (needs `install`).
# Options: --cmake=CMAKE --generator=GEN --cxx=CXX --flags=CXXFLAGS (also used
# for linking, e.g. sanitizers) --libdir=LIBDIR --includedir=INCLUDEDIR
# (relative to the prefix) --version=X.Y.Z (the project's: that of the
# installed files, and of version.h as every consumer build sees it)
# --kel-sql=0|1 (kel_sql installed) --mandir=MANDIR (relative to the prefix)
# --man-page=FILE (the source of the installed kel_sql.1)
# --system=bundled|external --system-libdir=DIR (the external runtime's).
# Exits 77 (skipped) when pkg-config is missing outside CI.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
mode=${1:?mode}
shift
cmake_cmd=cmake generator=Ninja cxx=c++ flags="" libdir=lib includedir=include version="" kel_sql=0
mandir=share/man man_page=""
system=bundled system_libdir=""
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
    --mandir=*) mandir=${arg#*=} ;;
    --man-page=*) man_page=${arg#*=} ;;
    --system=*) system=${arg#*=} ;;
    --system-libdir=*) system_libdir=${arg#*=} ;;
    --build-dir=*) build_dir=$(cd "${arg#*=}" && pwd) ;;
    --work=*) work=${arg#*=} ;;
    *) echo "unknown argument $arg" >&2; exit 2 ;;
  esac
done
[ -n "$build_dir" ] && [ -n "$work" ] || { echo "--build-dir and --work are required" >&2; exit 2; }
prefix=$work/prefix
case "$system" in
  bundled) libraries="kel_database kel_system" ;;
  external)
    [ -d "$system_libdir" ] || { echo "--system-libdir is required with --system=external" >&2; exit 2; }
    libraries=kel_database
    ;;
  *) echo "unknown --system=$system" >&2; exit 2 ;;
esac

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs the consumer and checks its result line and exit status, and that the
# version of the headers it was built with (version.h: the string and the
# three numbers) is the project's.
run_consumer() {
  local program=$1 output
  output=$("$program") || fail "$program exited with status $?; output:"$'\n'"$output"
  grep -Eqx 'consumer result: 42 kel_sql \(SQLite 3\.[0-9]+\.[0-9]+\)' <<<"$output" ||
    fail "no result line from $program; output:"$'\n'"$output"
  if [ -n "$version" ]; then
    grep -Fqx "consumer headers: $version = $version" <<<"$output" ||
      fail "the headers of $program give another version than $version; output:"$'\n'"$output"
  fi
  echo "$program: $(grep '^consumer result' <<<"$output"); $(grep '^consumer headers' <<<"$output")"
}

# The directory the dynamic linker takes lib$2.so.1 (default kel_database)
# from for `program`.
library_dir_of() {
  local name=lib${2:-kel_database}.so.1 path
  path=$(ldd "$1" | awk -v name="$name" '$1 == name { print $3 }')
  [ -n "$path" ] || fail "ldd finds no $name for $1"
  dirname "$(realpath "$path")"
}

# Fails unless `program` runs with the runtime this build was made for: the
# framework's own (external) or the one in `bundled_dir`.
expect_runtime() {
  local program=$1 bundled_dir=$2 expected
  if [ "$system" = external ]; then expected=$(realpath "$system_libdir"); else expected=$(realpath "$bundled_dir"); fi
  [ "$(library_dir_of "$program" kel_system)" = "$expected" ] ||
    fail "$program loads libkel_system from $(library_dir_of "$program" kel_system), not $expected"
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
    # Installing the library into a framework's prefix never overwrites its runtime.
    shadowing=$(cd "$prefix" && find . -name 'libkel_system*' -o -name 'kel_system.h' -o -name 'kel_systemTargets*')
    [ -z "$shadowing" ] || fail "a plain install brings runtime files: $shadowing"
    if [ "$system" = bundled ]; then
      "$cmake_cmd" --install "$build_dir" --prefix "$prefix" --component kel_system >>"$work/install.log" 2>&1 ||
        { cat "$work/install.log"; fail "cmake --install --component kel_system failed"; }
      expected_headers="./kel_database/kel_database.h ./kel_database/version.h ./kel_system/kel_system.h "
      [ -f "$prefix/$libdir/cmake/kel_database/kel_systemTargets.cmake" ] ||
        fail "missing $libdir/cmake/kel_database/kel_systemTargets.cmake"
    else
      expected_headers="./kel_database/kel_database.h ./kel_database/version.h "
    fi
    for lib in $libraries; do
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
    [ "$headers" = "$expected_headers" ] || fail "installed headers are '$headers', not '$expected_headers'"
    for file in kel_databaseConfig.cmake kel_databaseConfigVersion.cmake kel_databaseTargets.cmake; do
      [ -f "$prefix/$libdir/cmake/kel_database/$file" ] || fail "missing $libdir/cmake/kel_database/$file"
    done
    [ -f "$prefix/$libdir/pkgconfig/kel_database.pc" ] || fail "missing $libdir/pkgconfig/kel_database.pc"
    if [ "$kel_sql" = 1 ]; then
      # Without any library path: the installed client finds its libraries itself.
      answer=$(env -u LD_LIBRARY_PATH "$prefix/bin/kel_sql" --list :memory: "SELECT 6 * 7 AS answer") ||
        fail "the installed kel_sql failed"
      [ "$answer" = $'answer\n42' ] || fail "the installed kel_sql printed '$answer'"
      expect_runtime "$prefix/bin/kel_sql" "$prefix/$libdir"
      installed_page=$prefix/$mandir/man1/kel_sql.1
      [ -f "$installed_page" ] || fail "missing $mandir/man1/kel_sql.1"
      [ -z "$man_page" ] || cmp -s "$man_page" "$installed_page" || fail "$installed_page differs from $man_page"
    elif [ -e "$prefix/$mandir/man1/kel_sql.1" ]; then
      fail "$mandir/man1/kel_sql.1 installed without kel_sql"
    fi
    echo "installed into $prefix: $libraries $version (SONAME .so.$major), headers, CMake package, pkg-config file"
    ;;
  installed)
    [ -d "$prefix" ] || fail "nothing installed in $prefix"
    configure_and_build "$work/installed" -DCMAKE_PREFIX_PATH="$prefix"
    found=$(sed -n 's/^kel_database_DIR:PATH=//p' "$work/installed/CMakeCache.txt")
    [ "$found" = "$prefix/$libdir/cmake/kel_database" ] || fail "find_package used '$found', not the installed package"
    [ "$(library_dir_of "$work/installed/kel_database_consumer")" = "$(realpath "$prefix/$libdir")" ] ||
      fail "the consumer does not load the installed libkel_database"
    expect_runtime "$work/installed/kel_database_consumer" "$prefix/$libdir"
    run_consumer "$work/installed/kel_database_consumer"
    ;;
  build-tree)
    configure_and_build "$work/build-tree" -Dkel_database_DIR="$build_dir"
    [ "$(library_dir_of "$work/build-tree/kel_database_consumer")" = "$(realpath "$build_dir/src/kel_database")" ] ||
      fail "the consumer does not load the build tree's libkel_database"
    expect_runtime "$work/build-tree/kel_database_consumer" "$build_dir/src/host_framework"
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
    library_path=$prefix/$libdir
    if [ "$system" = external ]; then
      # The framework's runtime, not one of ours, is what the flags name.
      libs=$(pkg-config --libs kel_database)
      [[ " $libs " == *" -L$system_libdir -lkel_system "* ]] || fail "pkg-config --libs gives '$libs', not -L$system_libdir"
      library_path=$library_path:$system_libdir
    fi
    mkdir -p "$work/pkg-config"
    # shellcheck disable=SC2046,SC2086  # the flags are word lists
    "$cxx" $flags -std=c++17 -Wall -Wextra "$here/main.cpp" -o "$work/pkg-config/kel_database_consumer" \
      $(pkg-config --cflags --libs kel_database) || fail "compiling with the pkg-config flags failed"
    LD_LIBRARY_PATH=$library_path expect_runtime "$work/pkg-config/kel_database_consumer" "$prefix/$libdir"
    LD_LIBRARY_PATH=$library_path run_consumer "$work/pkg-config/kel_database_consumer"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
