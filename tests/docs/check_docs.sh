#!/usr/bin/env bash
# Checks that the API reference fails whenever something exported is left
# undocumented, and that its target says what to install without Doxygen.
#
#   check_docs.sh warnings DOXYGEN DOXYFILE
#       Runs Doxygen with the build's Doxyfile over copies of the headers it
#       reads: as they are (must pass without a word), then once for each
#       fault below, put into the copies (each must fail and name what is
#       undocumented):
#         - one @param dropped, one @return dropped;
#         - the whole comment of one exported function dropped;
#         - a new exported function declared without a comment;
#         - the comment of one version macro dropped.
#   check_docs.sh missing CMAKE SOURCE_DIR WORK_DIR GENERATOR
#       Configures the project without Doxygen (tests, benchmarks and
#       examples off) and builds its docs target: it must fail and name the
#       Debian package doxygen.
# Exits 77 (skipped) when Doxygen is missing outside CI.
set -euo pipefail

fail() {
  echo "FAIL: $*"
  exit 1
}

mode=${1:?mode}
shift
case "$mode" in
  warnings)
    doxygen=${1:-}
    doxyfile=${2:?Doxyfile}
    if [ -z "$doxygen" ] || ! command -v "$doxygen" >/dev/null; then
      [ -z "${CI:-}" ] || fail "doxygen is not installed"
      echo "doxygen is not installed: skipped"
      exit 77
    fi
    [ -f "$doxyfile" ] || fail "no Doxyfile at $doxyfile"
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    # The headers the Doxyfile reads, copied under one include directory.
    inputs=$(awk '/^INPUT[ \t]*=/ { on = 1; sub(/^INPUT[ \t]*=/, "") }
      on { more = sub(/\\$/, ""); print; if (!more) on = 0 }' "$doxyfile" | tr -s ' \t' '\n' | sed '/^$/d')
    [ -n "$inputs" ] || fail "no INPUT in $doxyfile"
    mkdir -p "$work/original/kel_database"
    for file in $inputs; do cp "$file" "$work/original/kel_database/"; done
    header=kel_database/kel_database.h
    version=kel_database/version.h
    [ -f "$work/original/$header" ] && [ -f "$work/original/$version" ] ||
      fail "$doxyfile does not read $header and $version"

    # Runs Doxygen over the headers under $1; its output goes to $1.log.
    run_doxygen() {
      local tree=$1
      {
        cat "$doxyfile"
        echo "INPUT = $tree/$header $tree/$version"
        echo "STRIP_FROM_PATH = $tree"
        echo "STRIP_FROM_INC_PATH = $tree"
        echo "OUTPUT_DIRECTORY = $tree.out"
      } | "$doxygen" - >"$tree.log" 2>&1
    }

    # A copy of the headers in which the comment block (/// lines) above the
    # declaration of `function` in `file` loses its lines containing `text`
    # (all of them when `text` is empty).
    without() {
      local name=$1 file=$2 function=$3 text=$4
      cp -r "$work/original" "$work/$name"
      awk -v function_name="$function" -v text="$text" '
        /^\/\/\// { block[++n] = $0; next }
        {
          hit = n > 0 && (index($0, " " function_name "(") > 0 || index($0, " " function_name " ") > 0)
          for (i = 1; i <= n; i++) if (!hit || (text != "" && index(block[i], text) == 0)) print block[i]
          n = 0
          print
        }
        END { for (i = 1; i <= n; i++) print block[i] }' "$work/original/$file" >"$work/$name/$file"
      ! cmp -s "$work/original/$file" "$work/$name/$file" || fail "fault '$name' changes nothing in $file"
    }

    # The fault must fail Doxygen with a message naming `expected`.
    expect_failure() {
      local name=$1 expected=$2
      if run_doxygen "$work/$name"; then
        cat "$work/$name.log"
        fail "Doxygen passed with fault '$name'"
      fi
      grep -qF -- "$expected" "$work/$name.log" || {
        cat "$work/$name.log"
        fail "Doxygen failed with fault '$name' but did not name '$expected'"
      }
      echo "fault '$name': Doxygen fails: $(grep -m1 -F -- "$expected" "$work/$name.log" | sed 's/^.*: \(error\|warning\): //')"
    }

    run_doxygen "$work/original" || { cat "$work/original.log"; fail "Doxygen fails on the headers as they are"; }
    [ ! -s "$work/original.log" ] || { cat "$work/original.log"; fail "Doxygen has something to say about the headers"; }
    echo "headers as they are: no warning"

    without param "$header" kel_sqlite_bind_int "@param index"
    expect_failure param "parameter 'index'"
    without return "$header" kel_sqlite_step "@return"
    expect_failure return "kel_sqlite_step"
    without comment "$header" kel_sqlite_reset ""
    expect_failure comment "kel_sqlite_reset"
    cp -r "$work/original" "$work/addition"
    echo 'KEL_DATABASE_API int kel_sqlite_undocumented(boost::shared_ptr<_kel_sqlite> obj);' >>"$work/addition/$header"
    expect_failure addition "kel_sqlite_undocumented"
    without macro "$version" KEL_DATABASE_VERSION_PATCH ""
    expect_failure macro "KEL_DATABASE_VERSION_PATCH"
    ;;
  missing)
    cmake_cmd=${1:?cmake}
    source_dir=${2:?source dir}
    work=${3:?work dir}
    generator=${4:-Ninja}
    rm -rf "$work"
    "$cmake_cmd" -S "$source_dir" -B "$work" -G "$generator" -DCMAKE_DISABLE_FIND_PACKAGE_Doxygen=ON \
      -DKEL_BUILD_TESTS=OFF -DKEL_BUILD_BENCH=OFF -DKEL_BUILD_EXAMPLES=OFF >"$work.configure.log" 2>&1 ||
      { cat "$work.configure.log"; fail "configuring without Doxygen failed"; }
    if "$cmake_cmd" --build "$work" --target docs >"$work.build.log" 2>&1; then
      cat "$work.build.log"
      fail "the docs target passed without Doxygen"
    fi
    grep -q '^docs: .*Install the Debian package doxygen' "$work.build.log" ||
      { cat "$work.build.log"; fail "the docs target failed without naming the package doxygen"; }
    echo "docs target without Doxygen fails: $(grep -m1 '^docs: ' "$work.build.log")"
    rm -rf "$work" "$work.configure.log" "$work.build.log"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
