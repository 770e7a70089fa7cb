#!/usr/bin/env bash
# Checks of the Mach-O files a macOS build makes, read the way a Mac's loader
# reads them (load commands, bind information, export tries). Nothing is run.
#
#   check_macho.sh platform  DEPLOYMENT_TARGET FILE...
#       each FILE is a Mach-O x86-64 program or dynamic library built for
#       macOS with that minimum version (LC_BUILD_VERSION or LC_VERSION_MIN_MACOSX)
#   check_macho.sh library   VERSION FILE INSTALL_NAME LOAD...
#       FILE has INSTALL_NAME, current version VERSION and compatibility
#       version MAJOR.0.0, and loads exactly the libraries LOAD...
#   check_macho.sh host-lookups LIBRARY RUNTIME [PROGRAM]
#       LIBRARY looks up every host function it calls in the flat namespace
#       (so a program's own definition comes first), every symbol it looks up
#       flat is one RUNTIME exports, and everything else (SQLite, libc++,
#       libSystem) is bound to its own library; PROGRAM, which defines host
#       functions itself, exports them for that lookup to find
#   check_macho.sh external  BUILD_DIR LIBRARY RUNTIME
#       LIBRARY loads RUNTIME by RUNTIME's install name and BUILD_DIR holds no
#       runtime of its own
#
# Tools: OTOOL, OBJDUMP, NM and CXXFILT from the environment (default the
# llvm-14 ones).
set -euo pipefail
export LC_ALL=C
otool=${OTOOL:-llvm-otool-14}
objdump=${OBJDUMP:-llvm-objdump-14}
nm_tool=${NM:-llvm-nm-14}
cxxfilt=${CXXFILT:-llvm-cxxfilt-14}

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures problem(s)"
    exit 1
  fi
  echo "$*"
}

# Versions compare without trailing ".0" parts: 11.0 and 11.0.0 are one.
normal_version() { sed -E 's/(\.0)+$//' <<<"$1"; }

install_name_of() { "$otool" -D "$1" | sed -n '2p'; }
loads_of() {
  "$otool" -l "$1" | awk '/cmd LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD|LOAD_UPWARD)_DYLIB$/ { want = 1; next }
    want && $1 == "name" { print $2; want = 0 }'
}
rpaths_of() {
  "$otool" -l "$1" | awk '/cmd LC_RPATH$/ { want = 1; next } want && $1 == "path" { print $2; want = 0 }'
}
# "dylib symbol" for every symbol FILE binds at load time or lazily; dylib is
# the library's short name or "flat-namespace".
binds_of() {
  "$objdump" --macho --bind --lazy-bind "$1" | awk '$NF ~ /^_/ && NF >= 4 { print $(NF - 1) " " $NF }' | sort -u
}

mode=${1:-}
[ $# -gt 0 ] && shift
case "$mode" in
  platform)
    [ $# -ge 2 ] || { echo "usage: $0 platform DEPLOYMENT_TARGET FILE..." >&2; exit 2; }
    want=$(normal_version "$1")
    shift
    for file in "$@"; do
      if [ ! -f "$file" ]; then
        fail "$file: missing"
        continue
      fi
      header=$("$otool" -h "$file" 2>&1 | awk 'NR == 3') || true
      read -r magic cputype _ _ filetype _ <<<"$header" || true
      if [ "${magic:-}" != 0xfeedfacf ]; then
        fail "$file: not a 64-bit Mach-O file (header '$header')"
        continue
      fi
      # CPU_TYPE_X86_64; MH_EXECUTE or MH_DYLIB
      [ "$cputype" = 16777223 ] || fail "$file: CPU type $cputype, not x86-64 (16777223)"
      [ "$filetype" = 2 ] || [ "$filetype" = 6 ] || fail "$file: file type $filetype, not a program (2) or dylib (6)"
      commands=$("$otool" -l "$file")
      minos=$(awk '/cmd LC_BUILD_VERSION$/ { want = 1 } want && $1 == "platform" { platform = $2 }
        want && $1 == "minos" { print platform " " $2; exit }' <<<"$commands")
      if [ -z "$minos" ]; then
        minos=$(awk '/cmd LC_VERSION_MIN_MACOSX$/ { want = 1 } want && $1 == "version" { print "macos " $2; exit }' \
          <<<"$commands")
      fi
      if [ -z "$minos" ]; then
        fail "$file: no LC_BUILD_VERSION or LC_VERSION_MIN_MACOSX: built for no platform"
        continue
      fi
      read -r platform version <<<"$minos"
      [ "$platform" = macos ] || [ "$platform" = 1 ] || fail "$file: built for platform '$platform', not macos"
      [ "$(normal_version "$version")" = "$want" ] || fail "$file: minimum macOS $version, not $want"
      echo "$file: Mach-O x86-64 $( [ "$filetype" = 2 ] && echo program || echo dylib ), macOS $version or later"
    done
    finish "$# file(s): Mach-O x86-64 for macOS $want"
    ;;

  library)
    [ $# -ge 3 ] || { echo "usage: $0 library VERSION FILE INSTALL_NAME LOAD..." >&2; exit 2; }
    version=$1 file=$2 want_name=$3
    shift 3
    name=$(install_name_of "$file")
    [ "$name" = "$want_name" ] || fail "$file: install name '$name', not $want_name"
    id=$("$otool" -l "$file" | awk '/cmd LC_ID_DYLIB$/ { want = 1 } want && /current version/ { current = $3 }
      want && /compatibility version/ { print current " " $3; exit }')
    read -r current compatibility <<<"$id"
    [ "${current:-}" = "$version" ] || fail "$file: current version '${current:-}', not $version"
    [ "${compatibility:-}" = "${version%%.*}.0.0" ] ||
      fail "$file: compatibility version '${compatibility:-}', not ${version%%.*}.0.0"
    loads=$(loads_of "$file" | grep -vxF "$name" | sort)
    expected=$(printf '%s\n' "$@" | sort)
    if [ "$loads" != "$expected" ]; then
      fail "$file loads: $(tr '\n' ' ' <<<"$loads")"
      echo "  not exactly: $(tr '\n' ' ' <<<"$expected")"
    fi
    finish "$file: $name, version $current (compatible with $compatibility), loads $(tr '\n' ' ' <<<"$loads")"
    ;;

  host-lookups)
    [ $# -ge 2 ] || { echo "usage: $0 host-lookups LIBRARY RUNTIME [PROGRAM]" >&2; exit 2; }
    library=$1 runtime=$2 program=${3:-}
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    binds_of "$library" >"$work/binds"
    "$nm_tool" -gU "$runtime" | awk 'NF == 3 { print $3 }' | sort -u >"$work/runtime"
    awk '$1 == "flat-namespace" { print $2 }' "$work/binds" | sort -u >"$work/flat"
    # The runtime's name as the bind table shows it: libkel_system.
    runtime_short=$(basename "$(install_name_of "$runtime")" | sed 's/\..*//')

    # Looked up flat but not the runtime's: something no library defines, or
    # a SQLite or libc++ symbol a program could then replace.
    comm -23 "$work/flat" "$work/runtime" >"$work/stray"
    while read -r symbol; do
      fail "$library looks up $("$cxxfilt" -_ <<<"$symbol") ($symbol) flat, but the runtime does not define it"
    done <"$work/stray"
    # Bound to the runtime itself: a program's definition would not be used.
    awk -v lib="$runtime_short" '$1 == lib { print $2 }' "$work/binds" >"$work/two_level_host"
    while read -r symbol; do
      fail "$library binds $("$cxxfilt" -_ <<<"$symbol") to $runtime_short itself, not through the flat namespace"
    done <"$work/two_level_host"
    # Every host operation the library calls.
    host_functions=(kel_object_ref kel_object_unref_real kel_property_get kel_assertion_faild kel_thread_service_new
      kel_thread_service_exec kel_thread_service_set_timeout kel_thread_service_set_interval
      kel_thread_service_clear_timeout kel_thread_service_clear_interval kel_thread_service_run_once
      kel_thread_service_on_finished kel_thread_service_set_join_handler kel_thread_service_stop)
    "$cxxfilt" -_ <"$work/flat" | sed 's/(.*//' >"$work/flat.names"
    for function in "${host_functions[@]}"; do
      grep -qx "$function" "$work/flat.names" || fail "$library does not look up $function in the flat namespace"
    done
    # SQLite and libc++ stay bound to their own libraries.
    for lib in libsqlite3 libc++ libSystem; do
      count=$(awk -v lib="$lib" '$1 == lib' "$work/binds" | wc -l)
      [ "$count" -gt 0 ] || fail "$library binds no symbol to $lib by two-level lookup"
      echo "bound to $lib: $count symbol(s)"
    done
    grep -qx 'libsqlite3 _sqlite3_prepare_v2' "$work/binds" || fail "$library does not bind sqlite3_prepare_v2 to libsqlite3"
    echo "looked up flat: $(wc -l <"$work/flat") symbol(s), all of them the runtime's:"
    sed 's/^/  /' "$work/flat.names" | sort -u
    if [ -n "$program" ]; then
      # The host functions the program defines, and what it exports.
      "$nm_tool" -gU "$program" | awk 'NF == 3 && $2 == "T" { print $3 }' | sort -u >"$work/program.defined"
      "$objdump" --macho --exports-trie "$program" | awk '{ print $NF }' | sort -u >"$work/program.exported"
      "$cxxfilt" -_ <"$work/program.defined" | sed 's/(.*//' | paste "$work/program.defined" - >"$work/program.names"
      printf '%s\n' "${host_functions[@]}" >"$work/host_functions"
      own=0
      while IFS=$'\t' read -r symbol name; do
        grep -qxF "$name" "$work/host_functions" || continue
        own=$((own + 1))
        grep -qxF "$symbol" "$work/program.exported" ||
          fail "$program defines $name but does not export it: the library's flat lookup would not find it"
      done <"$work/program.names"
      [ "$own" -gt 0 ] || fail "$program defines no host function of its own"
      echo "$program: exports the $own host function(s) it defines"
    fi
    finish "$library: host functions looked up flat, SQLite, libc++ and libSystem two-level"
    ;;

  external)
    [ $# -eq 3 ] || { echo "usage: $0 external BUILD_DIR LIBRARY RUNTIME" >&2; exit 2; }
    build_dir=$1 library=$2 runtime=$3
    runtime_name=$(install_name_of "$runtime")
    [ -n "$runtime_name" ] || fail "$runtime has no install name"
    loads_of "$library" | grep -qxF "$runtime_name" ||
      fail "$library does not load the external runtime $runtime_name; it loads: $(loads_of "$library" | tr '\n' ' ')"
    rpaths_of "$library" | grep -qxF "$(dirname "$runtime")" ||
      fail "$library has no run path to the external runtime's directory $(dirname "$runtime")"
    own=$(find "$build_dir" -name 'libkel_system*' | sort)
    [ -z "$own" ] || fail "$build_dir builds a runtime of its own: $own"
    finish "$library: loads the external runtime $runtime_name from $(dirname "$runtime"); no runtime built here"
    ;;

  *)
    echo "usage: $0 platform|library|host-lookups|external ..." >&2
    exit 2
    ;;
esac
