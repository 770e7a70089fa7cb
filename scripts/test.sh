#!/usr/bin/env bash
# Builds the project and runs the whole test suite:
#  - the normal build, its API reference (Doxygen, warnings as errors), the
#    ABI check, the library brought into a parent project (add_subdirectory,
#    FetchContent) and the install recipe without the test dependencies;
#    the GitHub Actions workflows, checked with actionlint;
#  - the same suite under AddressSanitizer+UndefinedBehaviorSanitizer, under
#    ThreadSanitizer with g++ and with clang, with clang and libc++ (the
#    framework's toolchain), and against a separately installed runtime
#    (KEL_SYSTEM=external), and on SQLCipher (KEL_SQLITE=sqlcipher: the suite
#    with the encryption tests);
#  - the library cross-compiled for x86-64 macOS, its installs and its
#    external mode, checked as Mach-O files (see docs/macos.md);
#  - a short run of the API-sequence fuzzer.
# KEL_QUICK=1 runs the first group only.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${LIBCXX_PACKAGES[@]}" "${ABI_PACKAGES[@]}" \
  "${DOCS_PACKAGES[@]}" "${SQLCIPHER_PACKAGES[@]}" libclang-rt-14-dev git

jobs=$(nproc)
timings=()

run_suite() {
  local dir=$1 start=$SECONDS
  shift
  echo "== $dir: build"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
  echo "== $dir: tests"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
  timings+=("$dir: $((SECONDS - start)) s")
}

report_timings() {
  echo "== wall time per part"
  printf '  %s\n' "${timings[@]}"
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_TESTS=ON -DKEL_BUILD_BENCH=ON  # the demo may have left them off
# The API reference, from the headers of that build: any warning fails it.
start=$SECONDS
echo "== build: docs"
cmake --build build --target docs
timings+=("build docs: $((SECONDS - start)) s")

start=$SECONDS
echo "== build: the ABI against the released baselines"
scripts/abi_check.sh build
timings+=("abi check: $((SECONDS - start)) s")

# The library as a framework's build brings it in (add_subdirectory, and
# FetchContent with the library under ASan+UBSan), and the install recipe
# with neither GoogleTest nor Google Benchmark to be found.
start=$SECONDS
for part in add_subdirectory "fetchcontent --sanitize=address" install-recipe; do
  echo "== build-subproject: $part"
  # shellcheck disable=SC2086  # the mode and its options
  bash tests/subproject/run_subproject.sh $part --source=. --work="$PWD/build-subproject"
done
timings+=("build-subproject: $((SECONDS - start)) s")

# The GitHub Actions workflows (.github/workflows), checked with the pinned
# actionlint; then that check failing on broken workflows in a scratch copy.
start=$SECONDS
echo "== workflows: actionlint"
scripts/lint_workflows.sh
bash tests/workflows/lint_workflows_test.sh
timings+=("workflows: $((SECONDS - start)) s")

if [ "${KEL_QUICK:-0}" = 1 ]; then
  exit 0
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKEL_SANITIZE=address -DKEL_BUILD_BENCH=OFF
unset ASAN_OPTIONS UBSAN_OPTIONS

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SANITIZE=thread -DKEL_BUILD_BENCH=OFF
# clang, the framework's compiler, announces ThreadSanitizer differently.
CC=clang CXX=clang++ run_suite build-tsan-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SANITIZE=thread \
  -DKEL_BUILD_BENCH=OFF
unset TSAN_OPTIONS

# Configured as a user of the framework's toolchain would; the build notices
# libc++ by itself (GoogleTest from source, no benchmarks).
CC=clang CXX=clang++ run_suite build-libcxx -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-stdlib=libc++

# The bundled runtime built and installed alone, as a framework's runtime
# would be; then the library, its programs and tests against that installation.
start=$SECONDS
echo "== build-runtime: the runtime alone, installed into build-runtime/root"
cmake -S . -B build-runtime -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_LIBRARY=OFF >/dev/null
cmake --build build-runtime
rm -rf build-runtime/root
cmake --install build-runtime --prefix "$PWD/build-runtime/root" --component kel_system >/dev/null
timings+=("build-runtime: $((SECONDS - start)) s")
run_suite build-external -DCMAKE_BUILD_TYPE=Debug -DKEL_SYSTEM=external -DKEL_SYSTEM_ROOT="$PWD/build-runtime/root" \
  -DKEL_BUILD_BENCH=OFF

# On SQLCipher instead of SQLite: the whole suite (the tests that need a newer
# SQLite than SQLCipher's say so and are skipped), the encrypted databases,
# kel_sql --key-file and the installed package giving SQLCipher's header.
run_suite build-sqlcipher -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SQLITE=sqlcipher -DKEL_BUILD_BENCH=OFF

# macOS x86-64, cross-compiled with clang-14 and ld64.lld-14 against a sysroot
# made here (scripts/macos_sysroot.sh): everything but the fuzzer and the
# benchmarks, as Mach-O files that nothing here can start, so its ctest runs
# the checks that read them (platform, install names, what is loaded and how
# it is bound, exports, the installed package used by a consumer). Then its
# installs, and the external mode against a runtime built alone for macOS.
start=$SECONDS
sysroot=$(scripts/macos_sysroot.sh | tail -n1)
macos=(--toolchain cmake/toolchains/x86_64-apple-macos.cmake -DKEL_MACOS_SYSROOT="$sysroot")
run_suite build-macos "${macos[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
rm -rf build-macos/root
cmake --install build-macos --prefix "$PWD/build-macos/root" >/dev/null
cmake --install build-macos --prefix "$PWD/build-macos/root" --component kel_system >/dev/null
echo "== build-macos-runtime: the runtime alone for macOS, installed into build-macos-runtime/root"
cmake -S . -B build-macos-runtime -G Ninja "${macos[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_LIBRARY=OFF \
  >/dev/null
cmake --build build-macos-runtime
rm -rf build-macos-runtime/root
cmake --install build-macos-runtime --prefix "$PWD/build-macos-runtime/root" --component kel_system >/dev/null
run_suite build-macos-external "${macos[@]}" -DCMAKE_BUILD_TYPE=Debug -DKEL_SYSTEM=external \
  -DKEL_SYSTEM_ROOT="$PWD/build-macos-runtime/root"
timings+=("macOS part in all: $((SECONDS - start)) s")

if [ -x scripts/fuzz.sh ]; then
  start=$SECONDS
  scripts/fuzz.sh 120
  timings+=("build-fuzz: $((SECONDS - start)) s")
fi
report_timings
