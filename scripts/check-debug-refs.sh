#!/usr/bin/env bash
# Builds pelmo for Debian's debug interpreter (python3.11-dbg) and runs the
# reference tests there, where sys.gettotalrefcount() counts every reference
# the interpreter and the module take and give back.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! dpkg -s python3.11-dbg python3.11-dev >/dev/null 2>&1; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq python3.11-dbg python3.11-dev >/dev/null
fi
venv=.venv-dbg
[ -x "$venv/bin/python" ] || /usr/bin/python3.11-dbg -m venv "$venv"
"$venv/bin/python" -m pip install -q pytest cmake ninja
build=$(pwd)/build/debug-python
# Debian's debug headers include the release pyconfig.h (its python3.11d
# directory links to the release headers), so Py_DEBUG is given here.
"$venv/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$(pwd)/$venv/bin/ninja" \
  -DPython_EXECUTABLE=/usr/bin/python3.11-dbg -DCMAKE_CXX_FLAGS=-DPy_DEBUG \
  -DPELMO_BUILD_TESTS=OFF -DPELMO_BUILD_BENCHMARKS=OFF >/dev/null
"$venv/bin/cmake" --build "$build" -j "${JOBS:-2}"
PYTHONPATH="$build" "$venv/bin/pytest" -q -p no:cacheprovider tests/python/test_references.py
