#!/usr/bin/env bash
# The README's test command: the whole test suite, part by part. Each part is
# one command a developer can run alone, most of them a CMake workflow preset
# (CMakePresets.json: configure, build, test; `cmake --workflow --list-presets`
# lists them), and each first installs the Debian packages it needs.
#
# First group (all that KEL_QUICK=1 runs; it needs no clang):
#   default      the normal build, its tests and its API reference
#   abi          the library against the released ABI baselines
#   subproject   the library brought in by a parent project (add_subdirectory,
#                FetchContent under ASan+UBSan) and the install recipe with no
#                GoogleTest or Google Benchmark to be found
#   workflows    the GitHub Actions workflows, checked with actionlint
#   format       clang-format, check only
# Then: clang-tidy over the normal build's sources; the suite under
# ASan+UBSan, under TSan with g++ and with clang, with clang and libc++ (the
# thread-safety analysis as errors), against the runtime installed alone, on
# SQLCipher; the macOS cross build, its runtime alone and its external mode;
# a run of the API-sequence fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
timings=()

# part NAME [PACKAGE...] -- COMMAND [ARG...]
part() {
  local name=$1 start=$SECONDS packages=()
  shift
  while [ "$1" != -- ]; do
    packages+=("$1")
    shift
  done
  shift
  echo "== $name"
  if [ ${#packages[@]} -gt 0 ]; then need_packages "${packages[@]}"; fi
  "$@"
  timings+=("$name: $((SECONDS - start)) s")
}

report_timings() {
  echo "== wall time per part"
  printf '  %s\n' "${timings[@]}"
}
trap report_timings EXIT

subprojects() {
  local mode
  for mode in add_subdirectory "fetchcontent --sanitize=address" install-recipe; do
    echo "-- $mode"
    # shellcheck disable=SC2086  # the mode and its options
    bash tests/subproject/run_subproject.sh $mode --source=. --work="$PWD/build-subproject"
  done
}

workflows() {
  scripts/lint_workflows.sh
  bash tests/workflows/lint_workflows_test.sh
}

macos() {
  scripts/macos_sysroot.sh >/dev/null
  cmake --workflow --preset macos
  cmake --workflow --preset macos-runtime
  cmake --workflow --preset macos-external
}

part default "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${DOCS_PACKAGES[@]}" -- cmake --workflow --preset default
part abi "${ABI_PACKAGES[@]}" -- scripts/abi_check.sh build
part subproject git -- subprojects
part workflows -- workflows
part format "${FORMAT_PACKAGES[@]}" -- scripts/check_format.sh

if [ "${KEL_QUICK:-0}" = 1 ]; then
  exit 0
fi

part tidy "${TIDY_PACKAGES[@]}" -- scripts/check_tidy.sh build
part asan -- cmake --workflow --preset asan
part tsan -- cmake --workflow --preset tsan
part tsan-clang "${CLANG_PACKAGES[@]}" -- cmake --workflow --preset tsan-clang
part libcxx "${LIBCXX_PACKAGES[@]}" -- cmake --workflow --preset libcxx
part runtime -- cmake --workflow --preset runtime
part external -- cmake --workflow --preset external
part sqlcipher "${SQLCIPHER_PACKAGES[@]}" -- cmake --workflow --preset sqlcipher
part macos -- macos
part fuzz -- scripts/fuzz.sh 120
