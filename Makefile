# The two commands of the README are `make demo` and `make test`; each sets
# up what it needs first (scripts/setup.sh) and is safe to run again.
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD ?= build/native
JOBS ?= 2
NATIVE_ARGS ?=
# ccache where it is installed (scripts/setup.sh brings it): paths under the
# checkout are hashed relative to it, so a new clone compiles only what no
# other checkout on the machine compiled before.
LAUNCHER := $(if $(shell command -v ccache 2>/dev/null),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: demo test setup install native-build native-test python-test bench bench-compare test-versions check-stress check-debug-refs check-sanitizers check-asan test-newest check-mermaid format clean

setup:
	@VENV=$(VENV) scripts/setup.sh

# Builds and installs the module into the venv, as a user's `pip install .`.
install: setup
	$(PY) -m pip install -q --no-build-isolation .

# The quick start, in a venv of its own holding only the build backend
# (scripts/demo.sh); prints how long it took.
demo:
	@scripts/demo.sh

native-build: setup
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DPELMO_WERROR=ON -DPELMO_BUILD_TESTS=ON -DPELMO_BUILD_BENCHMARKS=ON \
	  $(LAUNCHER) $(NATIVE_ARGS)
	CCACHE_BASEDIR=$(CURDIR) $(VENV)/bin/cmake --build $(BUILD) -j $(JOBS)

native-test: native-build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

python-test: install
	$(VENV)/bin/pytest -q tests/python

# Everything CI runs: the C++ and Python suites, both under ASan+UBSan, the
# Python suite on CPython 3.13 as well, the Mermaid check, the stubs, and a
# wheel and an sdist in fresh venvs; each configuration built once, both
# cores used, checks whose inputs did not change since they passed skipped
# (FORCE=1 runs them all). Ends with a table of each step's time
# (scripts/test-all.sh).
test:
	@scripts/test-all.sh

# Every Mermaid text pelmo makes of the README tour, the examples, random
# graphs and awkward names, parsed and rendered by Mermaid itself in headless
# Chromium (both installed on first use). MERMAID_ARGS=--pictures=docs/images
# also redraws the examples' pictures.
MERMAID_ARGS ?=
check-mermaid: install
	@VENV=$(VENV) scripts/setup.sh --mermaid
	$(PY) scripts/check_mermaid.py $(MERMAID_ARGS)

check-asan: setup
	scripts/check-sanitizers.sh address

test-newest:
	scripts/test-versions.sh 3.13

bench: native-build install
	$(BUILD)/benchmarks/pelmo_core_bench

# Instructions per node of a chain run, counted by callgrind: pelmo against
# hand-written loops (benchmarks/instructions.py). Results: benchmarks/results/.
.PHONY: bench-instructions
bench-instructions: install
	$(PY) benchmarks/instructions.py

# pelmo against a hand-written loop, graphlib, a ThreadPoolExecutor and dask
# (benchmarks/compare.py), in a venv of its own so that dask, NumPy and
# matplotlib stay out of the development one. Results: benchmarks/results/.
# BENCH_ARGS=--quick for a short run.
BENCH_VENV ?= .venv-bench
BENCH_ARGS ?=
bench-compare:
	@VENV=$(BENCH_VENV) scripts/setup.sh
	$(BENCH_VENV)/bin/python -m pip install -q -r benchmarks/requirements.txt
	$(BENCH_VENV)/bin/python -m pip install -q --no-build-isolation \
	  --config-settings=build-dir=build/bench-{wheel_tag} .
	$(MAKE) native-build
	OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 $(BENCH_VENV)/bin/python benchmarks/compare.py $(BENCH_ARGS)

# The Python suite on every available CPython from 3.10 to 3.13.
test-versions:
	scripts/test-versions.sh

# The reference tests under Debian's debug interpreter (sys.gettotalrefcount).
check-debug-refs:
	scripts/check-debug-refs.sh

# The long stress variants of the reliability and reference tests.
check-stress: install
	PELMO_STRESS=1 $(VENV)/bin/pytest -q tests/python/test_reliability.py tests/python/test_references.py

# The C++ and Python suites under ASan+UBSan, then the threaded ones under TSan.
check-sanitizers: setup
	scripts/check-sanitizers.sh address
	scripts/check-sanitizers.sh thread

# Reformats every C++ source with the project's .clang-format.
format: setup
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
