#!/usr/bin/env bash
# Sanitizer passes. `address`: both C++ suites and the whole Python suite
# under AddressSanitizer with UndefinedBehaviorSanitizer (the interpreter runs
# with the sanitizer preloaded and PYTHONMALLOC=malloc; leak detection is off
# because the interpreter itself keeps memory until exit). `thread`: the C++
# execution and worker team tests and the Python threading tests under
# ThreadSanitizer. The parts may be asked for one by one (build, then cpp or
# python), as `make test` does to time them; by default all run.
# Usage: scripts/check-sanitizers.sh address|thread [build] [cpp] [python]
#        (after scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:?usage: $0 address|thread [build] [cpp] [python]}
shift
parts=" ${*:-build cpp python} "
venv=${VENV:-.venv}
build=$(pwd)/build/sanitize-$mode
py=$(cd "$venv/bin" && pwd)/python

# Test discovery runs the test binary at build time, so the sanitizer's
# options must already hold then.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(pwd)/scripts/tsan.supp"

# Through ccache where there is one, with the checkout's paths hashed
# relative to it and the debug info naming them so, so that a new clone
# reuses what another compiled.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$(pwd)
fi

if [[ $parts == *" build "* ]]; then
  "$venv/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$(cd "$venv/bin" && pwd)/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" -DPELMO_SANITIZE="$mode" \
    -DCMAKE_CXX_FLAGS="-fdebug-prefix-map=$(pwd)=." "${launcher[@]}" -DPELMO_BUILD_TESTS=ON >/dev/null
  "$venv/bin/cmake" --build "$build" -j "${JOBS:-2}"
fi

case "$mode" in
  address)
    # libstdc++ goes in with the sanitizer: its exception interceptors look
    # for the real __cxa_throw at start-up, before Python loads the module.
    runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    if [[ $parts == *" cpp "* ]]; then
      "$build/tests/cpp/pelmo_cpp_tests"
      "$build/tests/cpp/pelmo_python_tests"
    fi
    if [[ $parts == *" python "* ]]; then
      LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$build" \
        "$venv/bin/pytest" -q -p no:cacheprovider -m "not slow" tests/python
    fi
    ;;
  thread)
    runtime="$(g++ -print-file-name=libtsan.so) $(g++ -print-file-name=libstdc++.so)"
    if [[ $parts == *" cpp "* ]]; then
      "$build/tests/cpp/pelmo_cpp_tests" --gtest_filter='*Execute*:NodeCall*:WorkerTeam*'
    fi
    if [[ $parts == *" python "* ]]; then
      LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$build" \
        "$venv/bin/pytest" -q -p no:cacheprovider -k "thread or parallel" tests/python
    fi
    ;;
  *)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac
