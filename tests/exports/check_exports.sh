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
# added, e.g. -stdlib=libc++). Then, of the dynamic symbols LIBRARY defines
# (`nm -D --defined-only` for ELF, `nm -gU` for Mach-O, whose names lose
# their leading underscore here):
#   - every expected symbol must be there as a function;
#   - every other symbol must belong to the standard library or Boost (the
#     template instantiations, type_info objects and vtables that the compiler
#     emits with default visibility because they are shared by every module
#     that uses them). Anything else is the library's own and must not be
#     exported: internal helpers, members of its classes, copies of host
#     functions, or C symbols.
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
    dynamic_symbols() { defined_symbols "$1"; }
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

# Every public function must be defined as code (T).
awk -F'\t' 'NR == FNR { type[$2] = $1; next }
  !($1 in type) { print $1 "\tnot exported"; next }
  type[$1] != "T" { print $1 "\texported as symbol type " type[$1] ", not T" }' \
  "$work/defined" "$work/expected" >"$work/missing"
while IFS=$'\t' read -r symbol problem; do
  fail "public function $problem: $(echo "$symbol" | "$demangler" -n)"
done <"$work/missing"

# The library's own names that must never be visible, whatever namespace or
# template they turn up in.
private_names=(
  'kel_database_ref(' 'kel_database_unref(' 'kel_database_add_sqlite(' 'kel_database_remove_sqlite('
  'create_service(' '_kel_sqlite::' 'for _kel_sqlite' 'kel_console::' 'kel_checks::' 'live_object_list'
  'name_registry' '(anonymous namespace)'
)
third_party=()
comm -13 "$work/expected" <(sort -u "$work/defined.names") >"$work/others"
"$demangler" -n <"$work/others" >"$work/others.demangled"
# The outermost scope each symbol belongs to, read from its mangled name (the
# demangled text of a function template starts with its return type): "std"
# for std:: and the standard abbreviations, else the first name component
# (a namespace, a class, or the function itself), "C" for a C symbol.
awk '{
  s = $0
  if (substr(s, 1, 2) != "_Z") { print "C"; next }
  s = substr(s, 3)
  if (s ~ /^(T[VTIS]|GV|TH|TW)/) s = substr(s, 3)
  else if (s ~ /^Th/) { s = substr(s, 3); sub(/^n?[0-9]+_/, "", s) }
  else if (s ~ /^Tv/) { s = substr(s, 3); sub(/^n?[0-9]+_n?[0-9]+_/, "", s) }
  if (s ~ /^Z/) s = substr(s, 2)  # an entity local to a function: that function
  if (s ~ /^N/) { s = substr(s, 2); sub(/^[rVK]*/, "", s); sub(/^[RO]/, "", s) }
  if (s ~ /^(St|S[abisod])/) { print "std"; next }
  if (match(s, /^[0-9]+/)) { print substr(s, RLENGTH + 1, substr(s, 1, RLENGTH) + 0); next }
  print "?"
}' "$work/others" >"$work/others.scope"
while IFS=$'\t' read -r symbol scope demangled; do
  leaked=""
  for name in "${private_names[@]}"; do
    if [[ "$demangled" == *"$name"* ]]; then leaked=$name; fi
  done
  if [ -n "$leaked" ]; then
    fail "internal name '$leaked' exported: $demangled"
    continue
  fi
  case "$scope:$symbol" in
    std:* | boost:* | __gnu_cxx:*) third_party+=("$demangled") ;;
    # Section bounds that GNU ld defines in a library clang links.
    C:__bss_start | C:_edata | C:_end) third_party+=("$symbol (linker)") ;;
    *) fail "exported but not declared in the public header: $demangled ($symbol)" ;;
  esac
done < <(paste "$work/others" "$work/others.scope" "$work/others.demangled")

echo "public header: $declared functions declared; library: $(wc -l <"$work/defined.names") symbols defined"
echo "standard library / Boost / linker symbols exported with default visibility (allowed): ${#third_party[@]}"
for symbol in "${third_party[@]}"; do echo "  $symbol"; done
if [ "$failures" -ne 0 ]; then
  echo "$failures export problem(s) in $library"
  exit 1
fi
echo "exports of $library match $header exactly"
