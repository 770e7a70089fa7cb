#!/usr/bin/env bash
# Checks that a shared library exports exactly the functions its public header
# declares.
#
#   check_exports.sh LIBRARY HEADER CXX [INCLUDE_DIR...]
#
# The expected symbols are produced by the compiler itself: every function
# declaration of HEADER is turned into a definition with a dummy body and
# compiled, so the mangled names (overloads, ABI tags, parameter types) are
# exactly what a caller links against (CXXFLAGS from the environment are
# added, e.g. -stdlib=libc++). Then the symbols LIBRARY exports to the
# dynamic linker (`nm -D --defined-only` for ELF; for Mach-O the export trie
# that dyld reads, `OBJDUMP --macho --exports-trie`, with the types of
# `nm -gU`, and the names without their leading underscore) must be exactly
# those, every one of them a function, and nothing else: no internal helper,
# member of the library's classes, copy of a host function, C symbol, nor
# any instantiation of the standard library's or Boost's templates. The one
# symbol that may be there beside them is named below (shared_typeinfo).
set -euo pipefail
export LC_ALL=C  # one collation for sort and comm

if [ $# -lt 3 ]; then
  echo "usage: $0 LIBRARY HEADER CXX [INCLUDE_DIR...]" >&2
  exit 2
fi
library=$1
header=$2
cxx=$3
shift 3
includes=()
for dir in "$@"; do includes+=(-I "$dir"); done
nm_tool=${NM:-nm}
# -n: the names are given without Mach-O's leading underscore, which a
# demangler running on macOS would otherwise strip once more.
demangler=${CXXFILT:-c++filt}
# shellcheck disable=SC2206  # a word list
cxxflags=(${CXXFLAGS:-})

# Mach-O (macOS) or ELF: how to list defined global symbols, as "TYPE NAME".
case "$(od -An -tx1 -N4 "$library" | tr -d ' \n')" in
  cffaedfe | cefaedfe | cafebabe)
    defined_symbols() { "$nm_tool" -gU "$1" | awk 'NF == 3 { sub(/^_/, "", $3); print $2 "\t" $3 }'; }
    # What the export trie holds, typed by nm ("?" for a name nm does not
    # list as an external definition).
    dynamic_symbols() {
      "${OBJDUMP:-objdump}" --macho --exports-trie "$1" |
        awk '$1 ~ /^0x/ { sub(/^_/, "", $2); print $2 }' |
        awk -F'\t' 'NR == FNR { type[$2] = $1; next } { print (($1 in type) ? type[$1] : "?") "\t" $1 }' \
          <(defined_symbols "$1") -
    }
    ;;
  *)
    defined_symbols() { "$nm_tool" --defined-only "$1" | awk 'NF == 3 { print $2 "\t" $3 }'; }
    dynamic_symbols() { "$nm_tool" -D --defined-only "$1" | awk 'NF == 3 { print $2 "\t" $3 }'; }
    ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# ---- The header's declarations --------------------------------------------
# Comments, string contents and preprocessor lines are left out; what remains
# is cut into top-level statements at ';' (and after a function body).
awk '
{ text = text $0 "\n" }
function emit(kind, s) {
  gsub(/[ \t\n]+/, " ", s); sub(/^ /, "", s); sub(/ $/, "", s)
  if (s != "" && s != ";") print kind "\t" s
}
END {
  n = length(text); state = "code"; stmt = ""; depth = 0; bol = 1
  for (i = 1; i <= n; i++) {
    c = substr(text, i, 1); d = substr(text, i, 2)
    if (state == "line") { if (c == "\n") { state = "code"; bol = 1; stmt = stmt " " } continue }
    if (state == "block") { if (d == "*/") { state = "code"; i++; stmt = stmt " " } continue }
    if (state == "pp") {
      if (c == "\\" && substr(text, i + 1, 1) == "\n") { i++; continue }
      if (c == "\n") { state = "code"; bol = 1 }
      continue
    }
    if (state == "quoted") {
      stmt = stmt c
      if (c == "\\") { stmt = stmt substr(text, i + 1, 1); i++ } else if (c == quote) state = "code"
      continue
    }
    if (d == "//") { state = "line"; i++; continue }
    if (d == "/*") { state = "block"; i++; continue }
    if (bol && c == "#") { state = "pp"; continue }
    if (c == "\n") { bol = 1; stmt = stmt " "; continue }
    if (c != " " && c != "\t") bol = 0
    if (c == "\"" || c == "\047") { state = "quoted"; quote = c; stmt = stmt c; continue }
    stmt = stmt c
    if (c == "{") depth++
    else if (c == "}") {
      depth--
      if (depth == 0 && stmt ~ /\)[^{]*\{/ && stmt !~ /^[ \t]*(class|struct|union|enum|namespace)[ \t]/) {
        emit("body", stmt); stmt = ""
      }
    } else if (c == ";" && depth == 0) { emit("decl", stmt); stmt = "" }
  }
  emit("rest", stmt)
}' "$header" >"$work/statements"

{
  echo "#include \"$header\""
  echo "// Definitions with the exact signatures of the header's declarations."
} >"$work/defs.cpp"
declared=0
while IFS=$'\t' read -r kind statement; do
  case "$kind:$statement" in
    body:*) echo "note: inline function in the header, not exported: ${statement%%\{*}" ;;
    rest:*) fail "header text after the last statement: $statement" ;;
    "decl:class "* | "decl:struct "* | "decl:union "* | "decl:enum "* | "decl:using "* | "decl:typedef "*) ;;
    decl:*"("*)
      if [[ "$statement" != KEL_DATABASE_API\ * ]]; then
        fail "declared without KEL_DATABASE_API, so not exported: $statement"
        continue
      fi
      echo "${statement%;} { throw 0; }" >>"$work/defs.cpp"
      declared=$((declared + 1))
      ;;
    *) fail "declaration of a kind this check does not know: $statement" ;;
  esac
done <"$work/statements"

if ! "$cxx" "${cxxflags[@]}" -std=c++17 -fvisibility=hidden -c "$work/defs.cpp" -o "$work/defs.o" "${includes[@]}" \
  2>"$work/cxx.log"; then
  cat "$work/cxx.log"
  fail "could not compile the header's declarations as definitions"
  exit 1
fi
defined_symbols "$work/defs.o" | awk -F'\t' '$1 == "T" { print $2 }' | sort -u >"$work/expected"
if [ "$(wc -l <"$work/expected")" -ne "$declared" ]; then
  fail "$declared function declarations gave $(wc -l <"$work/expected") distinct symbols"
fi
if [ "$declared" -eq 0 ]; then fail "no function declarations found in $header"; fi

# ---- The library's dynamic symbols ----------------------------------------
dynamic_symbols "$library" | sort -u -k2 >"$work/defined"
cut -f2 "$work/defined" >"$work/defined.names"

# Every public function must be exported as code (T).
awk -F'\t' 'NR == FNR { type[$2] = $1; next }
  !($1 in type) { print $1 "\tnot exported"; next }
  type[$1] != "T" { print $1 "\texported as symbol type " type[$1] ", not T" }' \
  "$work/defined" "$work/expected" >"$work/missing"
while IFS=$'\t' read -r symbol problem; do
  fail "public function $problem: $(echo "$symbol" | "$demangler" -n)"
done <"$work/missing"

# Nothing else: no internal helper, member of the library's classes, copy of
# a host function or C symbol, and no instantiation of the standard library's
# or Boost's templates either (their type information, vtables, members),
# which would make the library's ABI depend on those libraries' inner types.
# One symbol may be exported beside the functions: the name of the type
# information of std::bad_function_call, which the header lets pass through
# to a caller, in a build whose C++ library (libc++) has the library define
# it; see cmake/exports.cmake.
shared_typeinfo=(_ZTSNSt3__117bad_function_callE)
comm -13 "$work/expected" <(sort -u "$work/defined.names") >"$work/others"
extra=()
while read -r symbol; do
  demangled=$(echo "$symbol" | "$demangler" -n)
  if printf '%s\n' "${shared_typeinfo[@]}" | grep -qxF "$symbol"; then
    extra+=("$demangled")
  else
    fail "exported but not declared in the public header: $demangled ($symbol)"
  fi
done <"$work/others"

exported=$(wc -l <"$work/defined.names")
echo "public header: $declared functions declared, $(wc -l <"$work/expected") symbols; library: $exported symbols exported"
for symbol in "${extra[@]}"; do echo "  beside them, shared with callers: $symbol"; done
if [ "$failures" -ne 0 ]; then
  echo "$failures export problem(s) in $library"
  exit 1
fi
echo "exports of $library match $header exactly"
