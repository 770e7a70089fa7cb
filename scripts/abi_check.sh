#!/usr/bin/env bash
# Compares the ABI of a built libkel_database with the released baselines
# under abi/, with libabigail (Debian's abigail-tools).
#
#   scripts/abi_check.sh BUILD_DIR
#   scripts/abi_check.sh --write-baseline BUILD_DIR
#
# The first form compares BUILD_DIR's libkel_database.so with every baseline
# of the same SONAME, abi/libkel_database.<MAJOR>.*.abi: programs built
# against any of those releases must keep working with this build. It prints
# abidiff's report and exits
#   0  no change, or only additions (new functions or variables: reported,
#      and compatible);
#   1  a change that breaks programs built against a baseline (a function or
#      variable removed, or the type of one changed, or a type they use), or
#      no check could be made: no baseline for this SONAME, a baseline that
#      cannot be read, no debug info in the library, libabigail missing.
# The second form writes abi/libkel_database.<VERSION>.abi from BUILD_DIR's
# library, for a release (see abi/README.md).
#
# Only what the public header declares is compared: the exported functions
# and the types reachable from them, of which the types defined outside
# include/ (the library's own classes, the host's) count as opaque. That is
# what a program compiled against the header depends on; the library's
# internals may change freely. The standard library and Boost instantiations
# that release 1.0.0 also exported, and the library no longer does, are
# suppressed by abi/outside_the_header.suppr; the removal of a function the
# header declares is still reported.
#
# libabigail reads ELF and its DWARF: the library must be a Linux build with
# debug info (RelWithDebInfo, the default, or Debug).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  echo "usage: $0 [--write-baseline] BUILD_DIR" >&2
  exit 2
}
write=0
if [ "${1:-}" = --write-baseline ]; then
  write=1
  shift
fi
[ $# -eq 1 ] || usage
build_dir=$1

fail() {
  echo "abi_check: FAIL: $*" >&2
  exit 1
}

[ -d "$build_dir" ] || fail "no build directory $build_dir"
for tool in abidw abidiff abilint readelf; do
  command -v "$tool" >/dev/null ||
    fail "$tool is not installed: install the abigail-tools package (apt-get install abigail-tools; binutils for readelf)"
done

# The library: where this project's build puts it, also as a subproject.
mapfile -t found < <(find "$build_dir" -path '*/src/kel_database/libkel_database.so' | sort)
if [ ${#found[@]} -eq 0 ]; then
  if find "$build_dir" -path '*/src/kel_database/libkel_database*.dylib' | grep . >/dev/null; then
    fail "$build_dir is a macOS (Mach-O) build: this is an ELF check (libabigail reads ELF and DWARF only); run it on a Linux build directory"
  fi
  fail "no src/kel_database/libkel_database.so under $build_dir: build the library first"
fi
[ ${#found[@]} -eq 1 ] || fail "more than one libkel_database.so under $build_dir: ${found[*]}"
library=$(realpath "${found[0]}")
case "$(od -An -tx1 -N4 "$library" | tr -d ' \n')" in
  7f454c46) ;;
  *) fail "$library is not an ELF file: this is an ELF check (libabigail reads ELF and DWARF only)" ;;
esac
soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
major=${soname##*.so.}
[[ $major =~ ^[0-9]+$ ]] || fail "$library has no SONAME of the form libkel_database.so.MAJOR (it has '$soname')"
# Without DWARF abidiff sees symbol names only: a changed result or parameter
# type would pass unnoticed.
readelf -S "$library" | grep '\.debug_info' >/dev/null ||
  fail "$library has no debug info, which the check needs to see types: build with -DCMAKE_BUILD_TYPE=RelWithDebInfo (the default) or Debug"

# The public header of the sources the library was built from: types defined
# there are public, all others opaque.
source_dir=$(sed -n 's/^kel_database_SOURCE_DIR:STATIC=//p' "$build_dir/CMakeCache.txt" 2>/dev/null || true)
[ -n "$source_dir" ] || source_dir=$repo
headers=$source_dir/include
[ -f "$headers/kel_database/kel_database.h" ] || fail "no public header under $headers"
filter=(--drop-private-types --exported-interfaces-only)
# Removals of what release 1.0.0 exported beyond the header (instantiations of
# the standard library's and Boost's templates) are not reported: see there.
suppressions=(--suppressions "$repo/abi/outside_the_header.suppr")

if [ "$write" = 1 ]; then
  real=$(find "$(dirname "$library")" -maxdepth 1 -type f -name 'libkel_database.so.*.*.*' -printf '%f\n' | head -n 1)
  version=${real#libkel_database.so.}
  [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "cannot tell the version of $library (file $real)"
  out=$repo/abi/libkel_database.$version.abi
  mkdir -p "$repo/abi"
  # No locations, build paths or sequence numbers: the file depends on the
  # library's interface alone, not on where and how often it was made.
  abidw --headers-dir "$headers" "${filter[@]}" --no-show-locs --no-corpus-path --no-comp-dir-path \
    --type-id-style hash --out-file "$out.tmp" "$library" || { rm -f "$out.tmp"; fail "abidw failed on $library"; }
  sed -i "s#path='$source_dir/#path='#g" "$out.tmp"
  mv "$out.tmp" "$out"
  echo "abi_check: wrote $out from $library ($soname)"
  exit 0
fi

shopt -s nullglob
baselines=("$repo"/abi/libkel_database."$major".*.abi)
shopt -u nullglob
[ ${#baselines[@]} -gt 0 ] ||
  fail "no baseline for $soname in $repo/abi (abi/libkel_database.$major.*.abi): see abi/README.md"

status=0
for baseline in "${baselines[@]}"; do
  name=$(basename "$baseline")
  if [ ! -r "$baseline" ] || [ ! -s "$baseline" ]; then fail "cannot read the baseline $baseline"; fi
  # abidiff takes what it can parse of a damaged file and may then find "no
  # change"; the whole file has to be well-formed first.
  abilint --noout "$baseline" || fail "the baseline $baseline is damaged (abilint cannot read it)"
  grep -q "<abi-corpus .*soname='$soname'" "$baseline" || fail "$baseline is not an ABI description of $soname"
  echo "== abidiff $name $library"
  set +e
  abidiff --fail-no-debug-info --hd2 "$headers" "${filter[@]}" "${suppressions[@]}" "$baseline" "$library"
  rc=$?
  set -e
  # abidiff's result is a bit set: 1 error, 2 usage error, 4 some change,
  # 8 an incompatible change (so far only removals set it).
  if [ $((rc & 3)) -ne 0 ]; then
    fail "abidiff could not compare $name with $library (status $rc)"
  elif [ $((rc & 8)) -ne 0 ]; then
    echo "abi_check: $name: INCOMPATIBLE: something a program built against it uses is gone (report above)"
    status=1
  elif [ $((rc & 4)) -ne 0 ]; then
    # Bit 4 alone is set by additions and by changed types alike; the same
    # comparison without the additions tells them apart.
    set +e
    abidiff --fail-no-debug-info --hd2 "$headers" "${filter[@]}" "${suppressions[@]}" --no-added-syms "$baseline" "$library" >/dev/null
    rest=$?
    set -e
    if [ $((rest & 3)) -ne 0 ]; then
      fail "abidiff could not compare $name with $library (status $rest)"
    elif [ "$rest" -ne 0 ]; then
      echo "abi_check: $name: INCOMPATIBLE: the type of a function, variable or type programs built against it use changed (report above)"
      status=1
    else
      echo "abi_check: $name: compatible: additions only (report above)"
    fi
  else
    echo "abi_check: $name: no change"
  fi
done
[ "$status" -eq 0 ] || fail "$library breaks programs built against a released ABI"
echo "abi_check: $library ($soname) is compatible with ${#baselines[@]} baseline(s)"
