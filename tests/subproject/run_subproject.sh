#!/usr/bin/env bash
# Builds kel_database the ways a framework's build or a packager would, and
# checks what they get.
#
#   run_subproject.sh MODE --source=REPO --work=DIR [options]
#
# MODE
#   add_subdirectory  the parent project beside this script brings REPO in
#                     with add_subdirectory;
#   fetchcontent      ... with FetchContent, cloning REPO's last commit
#                     (git, file://, no network).
#       For both: the parent's program opens a database file in a temporary
#       directory, runs a query and prints the result, which must be right;
#       the parent's own targets must carry their own options and none of the
#       library's (warnings, sanitizers, its code-generation options), while
#       the library's targets carry them; none of the library's tests,
#       benchmarks, examples or tools is a target, ctest lists the parent's
#       test only, and the parent's empty build type is left alone.
#   install-recipe    REPO configured on its own with tests and benchmarks
#                     off and GoogleTest and Google Benchmark made unfindable,
#                     built, installed into WORK/prefix, and the installed
#                     package used by tests/consumer (run_consumer.sh).
# Options: --cmake=CMAKE --generator=GEN --cxx=CXX --sanitize=address (the
# library built with KEL_SANITIZE=address; the parent without).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
mode=${1:?mode}
shift
cmake_cmd=cmake generator=Ninja cxx=c++ sanitize="" source="" work=""
for arg in "$@"; do
  case "$arg" in
    --cmake=*) cmake_cmd=${arg#*=} ;;
    --generator=*) generator=${arg#*=} ;;
    --cxx=*) cxx=${arg#*=} ;;
    --sanitize=*) sanitize=${arg#*=} ;;
    --source=*) source=$(cd "${arg#*=}" && pwd) ;;
    --work=*) work=${arg#*=} ;;
    *) echo "unknown argument $arg" >&2; exit 2 ;;
  esac
done
if [ -z "$source" ] || [ -z "$work" ]; then
  echo "--source and --work are required" >&2
  exit 2
fi
case "$sanitize" in
  "" | address) ;;
  *) echo "--sanitize must be address or empty" >&2; exit 2 ;;
esac
# Other builds share the machine.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Configures and builds, showing the logs only when a step fails.
configure_and_build() {
  local src=$1 build=$2
  shift 2
  rm -rf "$build"
  mkdir -p "$(dirname "$build")"
  "$cmake_cmd" -S "$src" -B "$build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" "$@" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; fail "configuring $src failed"; }
  "$cmake_cmd" --build "$build" >"$build.build.log" 2>&1 || { cat "$build.build.log"; fail "building $src failed"; }
}

# The command that compiles `source_name` (a file name) in target `target`,
# and the one that links `output`, as the build ran them.
compile_command() {
  local build=$1 target=$2 source_name=$3 line
  line=$(ninja -C "$build" -t commands "$target" | grep -F -- "$source_name.o " | grep -F -- "-c " | tail -n 1) || true
  [ -n "$line" ] || fail "no compile command for $source_name in $target"
  echo "$line"
}
link_command() {
  local build=$1 target=$2 output=$3 line
  line=$(ninja -C "$build" -t commands "$target" | grep -E -- "-o $output( |$)" | tail -n 1) || true
  [ -n "$line" ] || fail "no link command for $output"
  echo "$line"
}

# The library's options, which a parent's targets must not get.
library_options=(-Wall -Wextra -fsanitize -fno-sanitize-recover -fno-omit-frame-pointer -fno-plt -ftls-model)

expect_parent_options() {
  local what=$1 command=$2 option
  for option in "${library_options[@]}"; do
    [[ " $command " != *" $option"[=\ ]* ]] || fail "$what has the library's option $option: $command"
  done
}
expect_options() {
  local what=$1 command=$2 option
  shift 2
  for option in "$@"; do
    [[ " $command " == *" $option "* ]] || fail "$what lacks $option: $command"
  done
}

check_parent() {
  local build=$1 how=$2
  # The parent's own targets: their options and nothing of the library's.
  local target
  for target in parent_early parent_app; do
    local compile link
    compile=$(compile_command "$build" "$target" parent_main.cpp)
    expect_options "the compilation of $target" "$compile" -Wshadow -DKEL_PARENT_BUILD=1
    expect_parent_options "the compilation of $target" "$compile"
    link=$(link_command "$build" "$target" "$target")
    expect_parent_options "the link of $target" "$link"
  done
  # The library's targets still have theirs.
  local library_flags=(-Wall -Wextra -fno-plt) runtime_flags=(-Wall -Wextra -ftls-model=initial-exec) link_flags=()
  # shellcheck disable=SC2054  # the commas are the options' own
  if [ "$sanitize" = address ]; then
    library_flags+=(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    runtime_flags+=(-fsanitize=address,undefined)
    link_flags+=(-fsanitize=address,undefined)
  fi
  expect_options "the library's kel_sqlite_api.cpp" "$(compile_command "$build" kel_database kel_sqlite_api.cpp)" \
    "${library_flags[@]}"
  expect_options "the runtime's kel_object.cpp" "$(compile_command "$build" kel_system kel_object.cpp)" \
    "${runtime_flags[@]}"
  if [ ${#link_flags[@]} -gt 0 ]; then
    expect_options "the link of libkel_database" \
      "$(link_command "$build" kel_database '[^ ]*libkel_database\.so\.[0-9.]*')" "${link_flags[@]}"
  fi

  # Nothing the parent did not ask for.
  local targets unexpected=()
  targets=$(ninja -C "$build" -t targets all | sed 's/:.*//')
  local name names=(kel_test_support kel_database_bench kel_database_demo kel_database_quick_start kel_sql
    api_sequence_fuzzer) test_source
  for test_source in "$source"/tests/*_test.cpp; do
    names+=("$(basename "$test_source" .cpp)")
  done
  for name in "${names[@]}"; do
    if grep -Eq "(^|/)$name(\$|[^a-z_])" <<<"$targets"; then unexpected+=("$name"); fi
  done
  [ ${#unexpected[@]} -eq 0 ] || fail "$how added the library's own programs as targets: ${unexpected[*]}"
  local tests
  tests=$(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: //p')
  [ "$tests" = 1 ] || fail "ctest lists $tests tests in the parent, not its 1: $(ctest --test-dir "$build" -N)"
  local cache option
  for option in KEL_BUILD_TESTS KEL_BUILD_BENCH KEL_BUILD_EXAMPLES; do
    cache=$(sed -n "s/^$option:BOOL=//p" "$build/CMakeCache.txt")
    [ "$cache" = OFF ] || fail "$option is '$cache' in a subproject, not OFF"
  done
  cache=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
  [ -z "$cache" ] || fail "the parent's build type became '$cache'"

  # The program runs against the library and gets the right answer.
  local db=$work/$how/db output
  rm -rf "$db"
  mkdir -p "$db"
  local run=()
  if [ "$sanitize" = address ]; then
    # The program is not instrumented, the library is: ASan's runtime has to
    # be loaded first, as an instrumented program would have it.
    run=(env "LD_PRELOAD=$("$cxx" -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
  fi
  output=$("${run[@]}" "$build/parent_app" "$db") || fail "parent_app exited with status $?; output:"$'\n'"$output"
  # The library's service reports its shutdown on the same output.
  grep -qx "parent result: 42 b 2" <<<"$output" || fail "no line 'parent result: 42 b 2' from parent_app; output:"$'\n'"$output"
  [ -s "$db/parent.sqlite" ] || fail "parent_app left no database file in $db"
  echo "$how${sanitize:+ (KEL_SANITIZE=$sanitize)}: $(grep '^parent result' <<<"$output"); the parent's targets have" \
    "none of the library's options, the library's have them; no tests, benchmarks or tools of the library"
}

sanitize_args=()
[ -z "$sanitize" ] || sanitize_args=(-DKEL_SANITIZE="$sanitize")

case "$mode" in
  add_subdirectory)
    build=$work/add_subdirectory/build
    configure_and_build "$here" "$build" -DKEL_PARENT_HOW=add_subdirectory -DKEL_PARENT_SOURCE="$source" \
      "${sanitize_args[@]}"
    check_parent "$build" add_subdirectory
    ;;
  fetchcontent)
    command -v git >/dev/null || fail "git is not installed"
    commit=$(git -C "$source" rev-parse HEAD) || fail "$source is not a git checkout"
    if [ -n "$(git -C "$source" status --porcelain --untracked-files=no)" ]; then
      echo "note: FetchContent clones the last commit, $commit; changes not committed are not in it"
    fi
    build=$work/fetchcontent/build
    configure_and_build "$here" "$build" -DKEL_PARENT_HOW=FetchContent -DKEL_PARENT_SOURCE="file://$source" \
      -DKEL_PARENT_TAG="$commit" -DFETCHCONTENT_BASE_DIR="$work/fetchcontent/deps" "${sanitize_args[@]}"
    [ "$(git -C "$work/fetchcontent/deps/kel_database-src" rev-parse HEAD)" = "$commit" ] ||
      fail "FetchContent did not check out $commit"
    check_parent "$build" fetchcontent
    ;;
  install-recipe)
    build=$work/install-recipe/build
    # A build that reached for GoogleTest or Google Benchmark anyway would
    # fail here, since neither can be found.
    configure_and_build "$source" "$build" -DKEL_BUILD_TESTS=OFF -DKEL_BUILD_BENCH=OFF \
      -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
    consumer_args=(--build-dir="$build" --work="$work/install-recipe" --cmake="$cmake_cmd" --generator="$generator"
      --cxx="$cxx" --libdir="$libdir" --version="$version" --kel-sql=1)
    # `cmake --install BUILD --prefix WORK/install-recipe/prefix`, its layout,
    # then a program built against the installed package.
    bash "$source/tests/consumer/run_consumer.sh" install "${consumer_args[@]}"
    bash "$source/tests/consumer/run_consumer.sh" installed "${consumer_args[@]}"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
