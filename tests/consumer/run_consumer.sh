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
#   pkg-config   run the pkg-config recipe of the docs (--recipe-doc=FILE,
#                one or more: the same recipe in each) on the consumer's
#                source, against WORK/prefix, and run the program it builds
#                as a user would, without LD_LIBRARY_PATH (needs `install`).
# Options: --cmake=CMAKE --generator=GEN --cxx=CXX --flags=CXXFLAGS (also used
# for linking, e.g. sanitizers) --libdir=LIBDIR --includedir=INCLUDEDIR
# (relative to the prefix) --version=X.Y.Z (the project's: that of the
# installed files, and of version.h as every consumer build sees it)
# --kel-sql=0|1 (kel_sql installed) --mandir=MANDIR (relative to the prefix)
# --man-page=FILE (the source of the installed kel_sql.1)
# --system=bundled|external --system-libdir=DIR (the external runtime's)
# --sqlite=sqlite3|sqlcipher (the SQLite library of the build: the consumer
# must compile against that library's header and run with it).
# --format=macho: the build makes Mach-O files (macOS), read with --otool=OTOOL
# and not run (a cross build cannot start them): the checks are on the
# libraries' names, install names and run paths, and on what the programs
# built load; --link-flags=FLAGS are added when linking by hand, and each
# --cmake-arg=ARG is passed to the consumer's configure (the toolchain file
# and its options) instead of the compiler and flags.
# Exits 77 (skipped) when pkg-config is missing outside CI.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
mode=${1:?mode}
shift
cmake_cmd=cmake generator=Ninja cxx=c++ flags="" libdir=lib includedir=include version="" kel_sql=0
mandir=share/man man_page=""
system=bundled system_libdir="" sqlite=sqlite3
build_dir="" work="" format=elf otool=otool link_flags="" cmake_args=() recipe_docs=()
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
    --sqlite=*) sqlite=${arg#*=} ;;
    --format=*) format=${arg#*=} ;;
    --otool=*) otool=${arg#*=} ;;
    --link-flags=*) link_flags=${arg#*=} ;;
    --cmake-arg=*) cmake_args+=("${arg#*=}") ;;
    --recipe-doc=*) recipe_docs+=("${arg#*=}") ;;
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
case "$format" in
  elf) ;;
  macho) [ ${#cmake_args[@]} -eq 0 ] || command -v "$otool" >/dev/null || fail "no Mach-O otool '$otool'" ;;
  *) echo "unknown --format=$format" >&2; exit 2 ;;
esac

# ---- Mach-O: what a Mac's loader would read -------------------------------
# The install name (LC_ID_DYLIB) of a dylib.
install_name_of() {
  "$otool" -D "$1" | sed -n '2p'
}
# The libraries a Mach-O file loads, one a line, in order.
loads_of() {
  "$otool" -l "$1" | awk '/cmd LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD)_DYLIB$/ { want = 1; next }
    want && $1 == "name" { print $2; want = 0 }'
}
# Its run paths (LC_RPATH), one a line, in order.
rpaths_of() {
  "$otool" -l "$1" | awk '/cmd LC_RPATH$/ { want = 1; next } want && $1 == "path" { print $2; want = 0 }'
}
# Fails unless the Mach-O `program` loads libkel_database and the runtime this
# build was made for through @rpath, and one of its run paths is `libdir`
# (where the consumer found libkel_database).
expect_macho_consumer() {
  local program=$1 libdir=$2 loads rpaths
  [ -f "$program" ] || fail "no $program"
  loads=$(loads_of "$program")
  grep -qx "@rpath/libkel_database.$major.dylib" <<<"$loads" ||
    fail "$program does not load @rpath/libkel_database.$major.dylib; it loads: $(tr '\n' ' ' <<<"$loads")"
  grep -qx "@rpath/libkel_system.1.dylib" <<<"$loads" ||
    fail "$program does not load the runtime @rpath/libkel_system.1.dylib; it loads: $(tr '\n' ' ' <<<"$loads")"
  rpaths=$(rpaths_of "$program")
  grep -qxF "$libdir" <<<"$rpaths" || fail "$program has no run path $libdir; its run paths: $(tr '\n' ' ' <<<"$rpaths")"
  echo "$program: Mach-O, loads @rpath/libkel_database.$major.dylib and the runtime, run path $libdir (not run here)"
}
major=${version%%.*}

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
  # The header it compiled against is the one of the library it runs with,
  # and that library is the build's: on SQLCipher, SQLCipher answers.
  local expected='consumer sqlite: sqlite3, header 3\.[0-9]+\.[0-9]+ = library'
  [ "$sqlite" = sqlite3 ] ||
    expected='consumer sqlite: sqlcipher, header 3\.[0-9]+\.[0-9]+ = library, SQLCipher [0-9]+\.[0-9]+\.[0-9]+'
  grep -Eqx "$expected" <<<"$output" ||
    fail "$program was not compiled against the header of the $sqlite library it runs with; output:"$'\n'"$output"
  echo "$program: $(grep '^consumer result' <<<"$output"); $(grep '^consumer headers' <<<"$output");" \
    "$(grep '^consumer sqlite' <<<"$output")"
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
  local build=$1 compiler=()
  shift
  rm -rf "$build"
  # A toolchain file brings its own compiler and flags.
  if [ ${#cmake_args[@]} -eq 0 ]; then
    compiler=(-DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags $link_flags")
  fi
  "$cmake_cmd" -S "$here" -B "$build" -G "$generator" "${cmake_args[@]}" "${compiler[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
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
      [ "$format" = elf ] || break
      real=$prefix/$libdir/lib$lib.so.$version
      [ -f "$real" ] && [ ! -L "$real" ] || fail "missing $real"
      [ "$(readlink "$prefix/$libdir/lib$lib.so.$major")" = "lib$lib.so.$version" ] ||
        fail "lib$lib.so.$major is not a link to lib$lib.so.$version"
      [ "$(readlink "$prefix/$libdir/lib$lib.so")" = "lib$lib.so.$major" ] ||
        fail "lib$lib.so is not a link to lib$lib.so.$major"
      soname=$(readelf -d "$real" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
      [ "$soname" = "lib$lib.so.$major" ] || fail "SONAME of $real is '$soname', not lib$lib.so.$major"
    done
    for lib in $libraries; do
      [ "$format" = macho ] || break
      real=$prefix/$libdir/lib$lib.$version.dylib
      [ -f "$real" ] && [ ! -L "$real" ] || fail "missing $real"
      [ "$(readlink "$prefix/$libdir/lib$lib.$major.dylib")" = "lib$lib.$version.dylib" ] ||
        fail "lib$lib.$major.dylib is not a link to lib$lib.$version.dylib"
      [ "$(readlink "$prefix/$libdir/lib$lib.dylib")" = "lib$lib.$major.dylib" ] ||
        fail "lib$lib.dylib is not a link to lib$lib.$major.dylib"
      name=$(install_name_of "$real")
      [ "$name" = "@rpath/lib$lib.$major.dylib" ] || fail "install name of $real is '$name', not @rpath/lib$lib.$major.dylib"
      # The package's imported targets name the installed file and its install name.
      targets_file=kel_databaseTargets
      [ "$lib" = kel_database ] || targets_file=kel_systemTargets
      grep -q "IMPORTED_LOCATION_[A-Z]* \"\${_IMPORT_PREFIX}/$libdir/lib$lib.$version.dylib\"" \
        "$prefix/$libdir/cmake/kel_database/$targets_file"-*.cmake ||
        fail "$libdir/cmake/kel_database/$targets_file-*.cmake does not locate kel_database::$lib at $libdir/lib$lib.$version.dylib"
      grep -q "IMPORTED_SONAME_[A-Z]* \"@rpath/lib$lib.$major.dylib\"" \
        "$prefix/$libdir/cmake/kel_database/$targets_file"-*.cmake ||
        fail "$libdir/cmake/kel_database/$targets_file-*.cmake does not give kel_database::$lib the install name @rpath/lib$lib.$major.dylib"
    done
    if [ "$format" = macho ]; then
      # The installed library finds the runtime beside it (or in the
      # framework's directory); -lkel_database of the pkg-config file finds
      # the .dylib link in its -L directory.
      expected=$'@loader_path'
      [ "$system" = bundled ] || expected+=$'\n'$system_libdir
      expected=$(sort <<<"$expected")
      rpaths=$(rpaths_of "$prefix/$libdir/libkel_database.$version.dylib" | sort)
      [ "$rpaths" = "$expected" ] ||
        fail "run paths of $libdir/libkel_database.$version.dylib are '$(tr '\n' ' ' <<<"$rpaths")', not '$(tr '\n' ' ' <<<"$expected")'"
      pc=$prefix/$libdir/pkgconfig/kel_database.pc
      [ -f "$pc" ] || fail "missing $libdir/pkgconfig/kel_database.pc"
      pc_libs=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --libs kel_database) ||
        fail "pkg-config does not read $pc"
      for lib in $libraries; do
        [[ " $pc_libs " == *" -l$lib "* ]] || fail "$pc links '$pc_libs', without -l$lib"
        found=""
        for flag in $pc_libs; do
          if [[ "$flag" == -L* ]] && [ -f "${flag#-L}/lib$lib.dylib" ]; then found=$(realpath "${flag#-L}/lib$lib.dylib"); fi
        done
        [ "$found" = "$(realpath "$prefix/$libdir/lib$lib.$version.dylib")" ] ||
          fail "-l$lib of $pc ('$pc_libs') does not find $libdir/lib$lib.dylib -> lib$lib.$version.dylib"
      done
      echo "$pc: $pc_libs"
    fi
    headers=$(cd "$prefix/$includedir" && find . -type f | sort | tr '\n' ' ')
    [ "$headers" = "$expected_headers" ] || fail "installed headers are '$headers', not '$expected_headers'"
    for file in kel_databaseConfig.cmake kel_databaseConfigVersion.cmake kel_databaseTargets.cmake; do
      [ -f "$prefix/$libdir/cmake/kel_database/$file" ] || fail "missing $libdir/cmake/kel_database/$file"
    done
    [ -f "$prefix/$libdir/pkgconfig/kel_database.pc" ] || fail "missing $libdir/pkgconfig/kel_database.pc"
    if [ "$kel_sql" = 1 ] && [ "$format" = macho ]; then
      expected="@loader_path/../$libdir"
      [ "$system" = bundled ] || expected+=$'\n'$system_libdir
      expected=$(sort <<<"$expected")
      rpaths=$(rpaths_of "$prefix/bin/kel_sql" | sort)
      [ "$rpaths" = "$expected" ] ||
        fail "run paths of bin/kel_sql are '$(tr '\n' ' ' <<<"$rpaths")', not '$(tr '\n' ' ' <<<"$expected")'"
      loads_of "$prefix/bin/kel_sql" | grep -qx "@rpath/libkel_database.$major.dylib" ||
        fail "bin/kel_sql does not load @rpath/libkel_database.$major.dylib"
    elif [ "$kel_sql" = 1 ]; then
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
    if [ "$format" = macho ]; then
      echo "installed into $prefix: $libraries $version (install names @rpath/lib*.$major.dylib), headers," \
        "CMake package, pkg-config file; bin/kel_sql run path @loader_path/../$libdir (nothing run here)"
    else
      echo "installed into $prefix: $libraries $version (SONAME .so.$major), headers, CMake package, pkg-config file"
    fi
    ;;
  installed)
    [ -d "$prefix" ] || fail "nothing installed in $prefix"
    configure_and_build "$work/installed" -DCMAKE_PREFIX_PATH="$prefix"
    found=$(sed -n 's/^kel_database_DIR:PATH=//p' "$work/installed/CMakeCache.txt")
    [ "$found" = "$prefix/$libdir/cmake/kel_database" ] || fail "find_package used '$found', not the installed package"
    if [ "$format" = macho ]; then
      expect_macho_consumer "$work/installed/kel_database_consumer" "$prefix/$libdir"
      exit 0
    fi
    [ "$(library_dir_of "$work/installed/kel_database_consumer")" = "$(realpath "$prefix/$libdir")" ] ||
      fail "the consumer does not load the installed libkel_database"
    expect_runtime "$work/installed/kel_database_consumer" "$prefix/$libdir"
    run_consumer "$work/installed/kel_database_consumer"
    ;;
  build-tree)
    configure_and_build "$work/build-tree" -Dkel_database_DIR="$build_dir"
    if [ "$format" = macho ]; then
      expect_macho_consumer "$work/build-tree/kel_database_consumer" "$build_dir/src/kel_database"
      exit 0
    fi
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
    [ ${#recipe_docs[@]} -gt 0 ] || fail "--recipe-doc is required"
    export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
    got_version=$(pkg-config --modversion kel_database) || fail "pkg-config does not find kel_database"
    [ -z "$version" ] || [ "$got_version" = "$version" ] || fail "pkg-config version $got_version, not $version"
    [ "$(realpath "$(pkg-config --variable=libdir kel_database)")" = "$(realpath "$prefix/$libdir")" ] ||
      fail "the .pc file's libdir is not $prefix/$libdir"
    if [ "$system" = external ]; then
      # The framework's runtime, not one of ours, is what the flags name.
      libs=$(pkg-config --libs kel_database)
      [[ " $libs " == *" -L$system_libdir -lkel_system "* ]] || fail "pkg-config --libs gives '$libs', not -L$system_libdir"
    fi

    # The recipe of the docs, the one shell block of each that compiles with
    # `pkg-config --cflags`: the same text in every document, run as written
    # for a prefix of /opt/kel, with this test's prefix in its place.
    recipe=""
    for doc in "${recipe_docs[@]}"; do
      block=$(awk '/^```sh$/ { inside = 1; text = ""; next }
        inside && /^```$/ { inside = 0; if (text ~ /pkg-config --cflags/) { printf "%s", text; found++ } next }
        inside { text = text $0 "\n" }
        END { if (found != 1) exit 1 }' "$doc") || fail "$doc has not exactly one shell block compiling with pkg-config"
      [ -z "$recipe" ] || [ "$block" = "$recipe" ] ||
        fail "the pkg-config recipe of $doc differs from that of ${recipe_docs[0]}:"$'\n'"$block"
      recipe=$block
    done
    grep -q '/opt/kel' <<<"$recipe" || fail "the recipe names no /opt/kel prefix:"$'\n'"$recipe"
    dir=$work/pkg-config
    rm -rf "$dir"
    mkdir -p "$dir/bin"
    cp "$here/main.cpp" "$dir/app.cpp"
    # `c++` is this build's compiler with its flags (its C++ library,
    # sanitizers, target); with a framework's runtime, plus the run path to
    # its directory that the docs tell such users to add.
    extra=""
    [ "$system" != external ] || extra="-Wl,-rpath,$system_libdir"
    printf '#!/bin/sh\nexec %s %s %s %s "$@"\n' "$cxx" "$flags" "$link_flags" "$extra" >"$dir/bin/c++"
    chmod +x "$dir/bin/c++"
    recipe=${recipe//\/opt\/kel\/lib\//$prefix/$libdir/}
    recipe=${recipe//\/opt\/kel/$prefix}
    echo "the docs' recipe, run in $dir:"
    sed 's/^/  /' <<<"$recipe"
    (cd "$dir" && PATH=$dir/bin:$PATH bash -euo pipefail -c "$recipe") >"$dir.log" 2>&1 ||
      { cat "$dir.log"; fail "the pkg-config recipe failed"; }
    program=$dir/app
    if [ "$format" = macho ]; then
      expect_macho_consumer "$program" "$(pkg-config --variable=libdir kel_database)"
      exit 0
    fi
    # As a user starts it: no library path.
    unset LD_LIBRARY_PATH
    [ "$(library_dir_of "$program")" = "$(realpath "$prefix/$libdir")" ] ||
      fail "the program built by the recipe does not load the installed libkel_database"
    expect_runtime "$program" "$prefix/$libdir"
    run_consumer "$program"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
