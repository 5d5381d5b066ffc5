#!/usr/bin/env bash
# Everything `make test` (and so CI) runs: the C++ suites, the Python suite on
# CPython 3.10 and 3.13, the C++ suites and the 3.10 Python suite again under
# ASan+UBSan, the Mermaid check with Mermaid's own client, the stubs under
# mypy and pyright, and a wheel and an sdist installed into fresh venvs.
#
# Each configuration is built once: the native tree (module, C++ suites,
# benchmarks), the sanitizer tree, and one sdist with a wheel built from it
# per interpreter, which is what the Python suites install and test; the
# wheel test takes them from PELMO_DIST instead of building its own. The
# compiler runs through ccache, so a new checkout compiles only what no
# checkout on the machine has compiled before.
#
# Each check that passes leaves a stamp of what it ran on (the tree's files,
# the binaries, the wheel); while those stay the same, a later run says so
# instead of running the check again. FORCE=1 runs every check regardless.
#
# Steps write their output to build/test/logs/STEP.log, shown whole as each
# step ends; the last lines are a table of every step and its time.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/test
logs=$out/logs
stamps=$out/passed
dist=$out/dist
rm -rf "$logs"
mkdir -p "$logs" "$stamps" "$dist"
# Outside a git checkout there is no telling what changed.
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || FORCE=1
started=$(date +%s.%N)
load_before=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?")

export JOBS=${JOBS:-2}
# -n: both cores; loadgroup keeps the tests that share an expensive fixture
# (a cluster, a type checker's run, a venv) on one worker. The slowest tests
# are listed, so that the next one to grow shows itself.
xdist="-n $JOBS --dist loadgroup --durations=8"
export PELMO_DIST=$dist

# ccache for every build. The native trees hash the checkout's paths
# relative to the checkout (Makefile, check-sanitizers.sh), so that a new
# clone hits what an earlier one compiled; the wheels are built from the
# sdist in pip's temporary directories, as the sdist test builds, so there
# paths are hashed relative to the temporary directory and the test's build
# hits the wheel's. Looked for once the set-up has run, which installs
# ccache on a new machine.
ccache_env=()
use_ccache() {
  if command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
    local tmp
    tmp=$(cd "${TMPDIR:-/tmp}" && pwd -P)
    ccache_env=(CCACHE_BASEDIR="$tmp")
  fi
}

status_of() { cat "$logs/$1.status" 2>/dev/null || echo "not run"; }

elapsed_since() { echo "$(date +%s.%N) $1" | awk '{printf "%.1f", $1 - $2}'; }

# The CPU seconds (user and system) of this shell's finished children. Never
# within $(...): the builtin must run in this very shell, as a subshell
# would count its own children. Processes nobody waits for are not counted:
# Chromium's renderers, so the Mermaid step's figure is Python's share only.
children_cpu() {
  local file=$logs/.times.$BASHPID
  times >"$file"
  tail -1 "$file" | tr 'ms' '  ' | awk '{printf "%.1f\n", $1 * 60 + $2 + $3 * 60 + $4}'
}

# The files of the checkout (tracked, or new and not ignored) outside the
# given top-level paths.
tree_files() {
  local exclude=() path
  for path in "$@"; do exclude+=(":(exclude)$path"); done
  git ls-files -co --exclude-standard -- . "${exclude[@]}"
}

# A digest of the contents of the files listed on stdin and of the words given.
digest() {
  { printf '%s\n' "$@"; sort | xargs -r -d '\n' sha1sum; } | sha1sum | cut -d' ' -f1
}

# step NAME KEY COMMAND...: runs COMMAND unless NAME passed before with this
# KEY (an empty KEY always runs). Its output goes to logs/NAME.log.
step() {
  local name=$1 key=$2
  shift 2
  local log=$logs/$name.log begun result
  begun=$(date +%s.%N)
  children_cpu >"$logs/$name.cpu"
  if [ -n "$key" ] && [ "${FORCE:-0}" != 1 ] && [ "$(cat "$stamps/$name" 2>/dev/null)" = "$key" ]; then
    result=unchanged
    echo "passed before on exactly these inputs; FORCE=1 runs it again" >"$log"
  else
    rm -f "$stamps/$name"
    if "$@" >"$log" 2>&1 </dev/null; then
      result=passed
      [ -n "$key" ] && echo "$key" >"$stamps/$name"
    else
      result=FAILED
    fi
  fi
  echo "$result" >"$logs/$name.status"
  echo "$(elapsed_since "$begun")" >"$logs/$name.seconds"
  children_cpu >>"$logs/$name.cpu"
  awk 'NR == 1 {before = $1} NR == 2 {printf "%.1f", $1 - before}' "$logs/$name.cpu" >"$logs/$name.cpu.tmp"
  mv "$logs/$name.cpu.tmp" "$logs/$name.cpu"
  # Whole logs, one at a time, though steps run side by side.
  {
    flock 9
    echo "======== $name: $result ($(cat "$logs/$name.seconds") s, $(cat "$logs/$name.cpu") s of CPU)"
    cat "$log"
  } 9>"$logs/.print"
  [ "$result" != FAILED ]
}

# needs STEP...: true when every STEP passed (now or before).
needs() {
  local name
  for name in "$@"; do
    case $(status_of "$name") in passed | unchanged) ;; *) return 1 ;; esac
  done
}

wheel_of() { ls "$dist"/pelmo-*-cp"${1/./}"-*.whl 2>/dev/null; }
py_of() { echo ".venv$( [ "$1" = 3.10 ] || echo "-$1")/bin/python"; }

# ---------------------------------------------------------------- the steps

setup_310() { VENV=.venv scripts/setup.sh --mermaid; }
setup_313() { PYTHON_VERSION=3.13 VENV=.venv-3.13 NATIVE=0 scripts/setup.sh; }

native_build() { make --no-print-directory native-build JOBS="$JOBS"; }
native_test() { .venv/bin/ctest --test-dir build/native --output-on-failure -j "$JOBS"; }

asan() { PYTEST_ADDOPTS="${PYTEST_ADDOPTS:-} $xdist" scripts/check-sanitizers.sh address "$@"; }

# The sdist the way any frontend asks the backend for one; a new one only
# when the files it packs changed, so that the wheels built from it stay.
sdist() {
  rm -f "$dist"/pelmo-*.tar.gz
  .venv/bin/python -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' \
    "$dist"
}

# A wheel built from the sdist, as a release is (again only when what it
# holds changed), then installed into the interpreter's venv, whatever was
# installed there meanwhile: the Python suite and the Mermaid check test that
# very wheel.
wheel() {
  local version=$1 key=$2 python stamp=$stamps/built-wheel-$1
  python=$(py_of "$version")
  if [ -z "$(wheel_of "$version")" ] || [ "${FORCE:-0}" = 1 ] || [ "$(cat "$stamp" 2>/dev/null)" != "$key" ]; then
    rm -f "$stamp" "$dist"/pelmo-*-cp"${version/./}"-*.whl
    env "${ccache_env[@]}" "$python" -m pip wheel -q --no-deps --no-build-isolation -w "$dist" "$dist"/pelmo-*.tar.gz
    echo "$key" >"$stamp"
    echo "built $(wheel_of "$version")"
  else
    echo "$(wheel_of "$version") holds these sources already"
  fi
  "$python" -m pip install -q --no-deps --force-reinstall "$(wheel_of "$version")"
}

python_suite() {
  local version=$1
  env "${ccache_env[@]}" "$(dirname "$(py_of "$version")")/pytest" -q -p no:cacheprovider $xdist tests/python
}

mermaid() { .venv/bin/python scripts/check_mermaid.py; }

# ----------------------------------------------------------------- the keys
# What each check depends on. The C++ suites: their binaries. The Python
# suites: the wheel or module under test and every file of the tree but the
# C++ sources and tests (which reach them only through the binaries).

# The interpreter and the requirements installed in a venv.
venv_key() { printf '%s\n' "$1/bin/python" "$1/pyvenv.cfg" "$1"/.requirements-dev.installed; }

key_native() { find build/native/tests -maxdepth 2 -type f \( -name 'pelmo_*_tests' -o -name '*_tests.cmake' \) | digest native; }
key_asan_cpp() { find build/sanitize-address/tests -maxdepth 2 -type f -name 'pelmo_*_tests' | digest asan-cpp; }
key_asan_python() {
  { ls build/sanitize-address/pelmo/_pelmo*.so; venv_key .venv; tree_files src tests/cpp benchmarks; } | digest asan-python
}
key_sdist() { tree_files | digest sdist; }
# A wheel holds the module and the package's files (its metadata takes the
# README); it is built again only when they, or the venv that builds it, change.
key_wheel() {
  { tree_files tests docs examples benchmarks scripts .ci; venv_key "$(dirname "$(dirname "$(py_of "$1")")")"; } \
    | digest "wheel $1"
}
key_python() {
  { wheel_of "$1"; ls "$dist"/pelmo-*.tar.gz; venv_key "$(dirname "$(dirname "$(py_of "$1")")")"; tree_files src tests/cpp benchmarks; } \
    | digest "python $1" "$xdist"
}
key_mermaid() {
  { wheel_of 3.10; ls build/mermaid/*.js; printf '%s\n' scripts/check_mermaid.py README.md; git ls-files -co --exclude-standard -- examples; } \
    | digest mermaid
}


# ------------------------------------------------------------------ the run

steps=(setup-3.10 setup-3.13 native-build native-test asan-build sdist wheel-3.10 wheel-3.13
       python-3.10 mermaid python-3.13 asan-cpp asan-python)

# Both venvs at once: mostly waiting on downloads.
step setup-3.10 "" setup_310 &
step setup-3.13 "" setup_313 &
wait
use_ccache

# Two lines of steps side by side: the native trees and the native C++
# suite; and the sdist, then a wheel of it for each interpreter at once,
# each mostly one core's work (pip, cmake, ccache's lookups), which need
# only the venvs. Steps that run side by side each run in a shell of their
# own, which counts only its own processes' CPU time.
if needs setup-3.10; then
  (
    step native-build "" native_build && step native-test "$(key_native)" native_test
    step asan-build "" asan build
  ) &
  (
    ls "$dist"/pelmo-*.tar.gz >/dev/null 2>&1 || rm -f "$stamps/sdist"
    if step sdist "$(key_sdist)" sdist; then
      step wheel-3.10 "" wheel 3.10 "$(key_wheel 3.10)" &
      needs setup-3.13 && step wheel-3.13 "" wheel 3.13 "$(key_wheel 3.13)" &
      wait
    fi
  ) &
  wait
fi

# The Python suites, each on both cores. Chromium, drawing on one core,
# fills what the 3.10 suite leaves idle (its workers wait on child
# interpreters and on its longest tests).
needs wheel-3.10 && step mermaid "$(key_mermaid)" mermaid &
needs wheel-3.10 && step python-3.10 "$(key_python 3.10)" python_suite 3.10 &
wait
# The sanitizer's C++ suites, one process (most of it one test: a million
# levels of nesting on a small stack), in what the 3.13 suite leaves idle.
needs asan-build && step asan-cpp "$(key_asan_cpp)" asan cpp &
needs wheel-3.13 && step python-3.13 "$(key_python 3.13)" python_suite 3.13 &
wait
needs asan-build && step asan-python "$(key_asan_python)" asan python

# ---------------------------------------------------------------- the table

failed=0
counts=(0 0 0)   # passed, failed (or not run), unchanged
children_cpu >"$logs/.total.cpu"
# Written to a file, not piped: a pipeline's subshell would keep `failed`.
{
  echo
  echo "make test: the time of each step, and the CPU time of its processes (load average" \
    "$load_before at the start, $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null) at the end)"
  printf '  %-14s %-10s %8s %8s\n' step result seconds cpu
  for name in "${steps[@]}"; do
    result=$(status_of "$name")
    printf '  %-14s %-10s %8s %8s\n' "$name" "$result" "$(cat "$logs/$name.seconds" 2>/dev/null || echo -)" \
      "$(cat "$logs/$name.cpu" 2>/dev/null || echo -)"
    case $result in
      passed) counts[0]=$((counts[0] + 1)) ;;
      unchanged) counts[2]=$((counts[2] + 1)) ;;
      *) counts[1]=$((counts[1] + 1)); failed=1 ;;
    esac
  done
  printf '  %-14s %-10s %8s %8s\n' total "$( [ $failed = 0 ] && echo passed || echo FAILED)" \
    "$(elapsed_since "$started")" "$(cat "$logs/.total.cpu")"
  # Unchanged steps are the skipped ones.
  echo "steps: ${counts[0]} passed, ${counts[1]} failed, ${counts[2]} skipped"
} >"$out/times"
cat "$out/times"
exit $failed
