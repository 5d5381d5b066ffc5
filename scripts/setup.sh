#!/usr/bin/env bash
# Prepares a machine for building and testing: Debian packages (GoogleTest,
# Google Benchmark, ccache), a virtual environment with CPython 3.10 in
# .venv, and the Python build and test tools. Safe to run again; does only
# what is missing. PYTHON may name the interpreter to use (PYTHON_VERSION
# picks another CPython than 3.10 through pyenv), VENV the environment,
# REQUIREMENTS what goes into it; NATIVE=0 skips the Debian packages, which
# only the native builds need; UPGRADE_PIP=0 keeps the venv's own pip, which
# builds pelmo as well. The venv is filled by uv, whose cache of downloaded
# wheels makes a new venv a matter of seconds where pip would download
# everything again; uv itself is installed once per user, into
# ~/.cache/pelmo/tools, unless it is on PATH. UV=0 uses pip alone. With --mermaid it also brings Mermaid's own client
# for `make check-mermaid`: Debian's chromium and mermaid.min.js in
# build/mermaid/.
set -euo pipefail
cd "$(dirname "$0")/.."

mermaid=false
[ "${1:-}" = "--mermaid" ] && mermaid=true
MERMAID_VERSION=11.16.0

find_python() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  local version=${PYTHON_VERSION:-3.10} candidates=()
  if command -v pyenv >/dev/null 2>&1; then
    [ "$version" = 3.10 ] && candidates+=("$(pyenv root)/versions/3.10.13/bin/python3.10")
    for dir in "$(pyenv root)"/versions/"$version".*; do candidates+=("$dir/bin/python$version"); done
  fi
  [ "$version" = 3.10 ] && candidates+=("$HOME/.pyenv/versions/3.10.13/bin/python3.10")
  candidates+=("python$version")
  for candidate in "${candidates[@]}"; do
    if command -v "$candidate" >/dev/null 2>&1; then command -v "$candidate"; return; fi
  done
  echo "setup: no CPython $version found; set PYTHON to one" >&2
  exit 1
}

# uv from PATH, or from a venv of its own kept per user across checkouts;
# the lock lets `make test` set up two venvs at once on a new machine.
find_uv() {
  if command -v uv >/dev/null 2>&1; then command -v uv; return; fi
  local tools=${PELMO_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/pelmo/tools}
  mkdir -p "$(dirname "$tools")"
  (
    flock 9
    if [ ! -x "$tools/bin/uv" ]; then
      echo "setup: installing uv into $tools" >&2
      rm -rf "$tools"
      "$python" -m venv "$tools" >&2
      "$tools/bin/python" -m pip install -q uv >&2
    fi
  ) 9>"$tools.lock"
  echo "$tools/bin/uv"
}

apt_packages=(libgtest-dev libbenchmark-dev ccache)
$mermaid && apt_packages+=(chromium)
missing=()
if [ "${NATIVE:-1}" = 0 ]; then apt_packages=(); fi
for package in "${apt_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=$(find_python)
venv=${VENV:-.venv}
uv=""
[ "${UV:-1}" = 1 ] && uv=$(find_uv)
want=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
have=$("$venv/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)
if [ "$want" != "$have" ]; then
  echo "setup: creating $venv with $python"
  rm -rf "$venv"
  if [ -n "$uv" ]; then
    # --seed: the suite builds and installs with the venv's own pip.
    "$uv" venv -q --seed --python "$python" "$venv"
  else
    "$python" -m venv "$venv"
  fi
fi
requirements=${REQUIREMENTS:-requirements-dev.txt}
stamp="$venv/.$(basename "$requirements" .txt).installed"
if [ ! -f "$stamp" ] || ! cmp -s "$requirements" "$stamp"; then
  if [ -n "$uv" ]; then
    "$uv" pip install -q --python "$venv/bin/python" -r "$requirements"
  else
    if [ "${UPGRADE_PIP:-1}" = 1 ]; then "$venv/bin/python" -m pip install -q --upgrade pip; fi
    "$venv/bin/python" -m pip install -q -r "$requirements"
  fi
  cp "$requirements" "$stamp"
fi

# The wheel only carries the file (it declares Python >= 3.12, hence the
# explicit --python-version); nothing of it is installed. A copy is kept per
# user, so that a new checkout need not ask the package index again.
mermaid_js=build/mermaid/mermaid-$MERMAID_VERSION.min.js
kept_js=${XDG_CACHE_HOME:-$HOME/.cache}/pelmo/mermaid-$MERMAID_VERSION.min.js
if $mermaid && [ ! -f "$mermaid_js" ]; then
  mkdir -p build/mermaid "$(dirname "$kept_js")"
  if [ ! -f "$kept_js" ]; then
    wheel_dir=$(mktemp -d)
    trap 'rm -rf "$wheel_dir"' EXIT
    "$venv/bin/python" -m pip download -q --no-deps --only-binary=:all: --python-version 3.12 \
      -d "$wheel_dir" "artoo-mermaid==$MERMAID_VERSION"
    "$venv/bin/python" -c 'import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    data = wheel.read("artoo_mermaid/assets/mermaid.min.js")
open(sys.argv[2], "wb").write(data)' "$wheel_dir"/artoo_mermaid-*.whl "$kept_js.$$"
    mv "$kept_js.$$" "$kept_js"
  fi
  cp "$kept_js" "$mermaid_js.tmp"
  mv "$mermaid_js.tmp" "$mermaid_js"
fi
