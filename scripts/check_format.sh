#!/usr/bin/env bash
# Checks that every C++ file of the project is formatted as .clang-format
# says; changes nothing. Fails, naming the files, on any difference.
#   clang-format -i FILE   formats one in place.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.cc')
clang-format --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files as .clang-format says"
