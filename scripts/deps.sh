#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing.
# Sourced by the other scripts: `need_packages pkg...`.

# ON when the Debian package is installed, OFF otherwise.
installed_on_off() {
  if dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; then echo ON; else echo OFF; fi
}

need_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
      apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"
    fi
  else
    echo "missing packages: ${missing[*]}" >&2
    echo "install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
}

# The library, kel_sql and the demo.
LIBRARY_PACKAGES=(cmake ninja-build g++ libsqlite3-dev libboost-dev)
# ... with the tests and the benchmarks.
BUILD_PACKAGES=("${LIBRARY_PACKAGES[@]}" libgtest-dev libbenchmark-dev)
# The build on SQLCipher (KEL_SQLITE=sqlcipher) and its tests: the library,
# its header and the sqlcipher shell the tests read keyed databases with.
SQLCIPHER_PACKAGES=(libsqlcipher-dev sqlcipher)
# The tests beside the build: the sqlite3 shell kel_sql is compared with,
# pkg-config for the package test, groff to render kel_sql's manual page,
# expect to drive kel_sql's terminal sessions prompt by prompt.
TEST_PACKAGES=(sqlite3 pkg-config groff-base expect)
# The clang/libc++ build: GoogleTest is compiled from the sources of googletest.
LIBCXX_PACKAGES=(clang libc++-14-dev libc++abi-14-dev googletest)
# The ABI check against the released baselines (scripts/abi_check.sh).
ABI_PACKAGES=(abigail-tools)
# The API reference (the docs target).
DOCS_PACKAGES=(doxygen)
# clang for the TSan build with clang and for the fuzzer (libFuzzer and the
# sanitizers' runtimes).
CLANG_PACKAGES=(clang libclang-rt-14-dev)
# The checks of the sources: formatting (check only) and clang-tidy.
FORMAT_PACKAGES=(clang-format)
TIDY_PACKAGES=(clang-tidy)
