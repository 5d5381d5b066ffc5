#!/usr/bin/env bash
# Builds pelmo and runs the Python suite on every CPython from 3.10 to 3.13
# that pyenv (or PATH) provides, each in a venv of its own (.venv-3.X).
# Usage: scripts/test-versions.sh [3.11 3.13 ...]   (default: all four)
# A version that cannot be found fails the run: a suite that did not run
# on it has not passed on it.
set -uo pipefail
cd "$(dirname "$0")/.."
versions=("$@")
[ ${#versions[@]} -eq 0 ] && versions=(3.10 3.11 3.12 3.13)
status=0
for version in "${versions[@]}"; do
  python=""
  if command -v pyenv >/dev/null 2>&1; then
    for dir in "$(pyenv root)"/versions/"$version".*; do
      [ -x "$dir/bin/python$version" ] && python="$dir/bin/python$version"
    done
  fi
  [ -z "$python" ] && python=$(command -v "python$version" || true)
  if [ -z "$python" ]; then
    echo "== $version: FAILED: no CPython $version found through pyenv or as python$version on PATH;" \
      "install it (pyenv install $version) or put python$version on PATH" >&2
    status=1
    continue
  fi
  echo "== $version: $python"
  if ! PYTHON="$python" make python-test VENV=".venv-$version"; then
    echo "== $version: FAILED"
    status=1
  fi
done
exit $status
