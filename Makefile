# The two commands of the README are `make demo` and `make test`; each sets
# up what it needs first (scripts/setup.sh) and is safe to run again.
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD ?= build/native
JOBS ?= 2

.PHONY: demo test setup install native-build native-test python-test bench check-stress check-sanitizers clean

setup:
	@VENV=$(VENV) scripts/setup.sh

# Builds and installs the module into the venv, as a user's `pip install .`.
install: setup
	$(PY) -m pip install -q --no-build-isolation .

demo: install
	$(PY) examples/pipeline.py

native-build: setup
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DPELMO_WERROR=ON
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS)

native-test: native-build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

python-test: install
	$(PY) -m pytest -q tests/python

test: native-test python-test

bench: native-build install
	$(BUILD)/benchmarks/pelmo_core_bench

# The long stress variants of the reliability and reference tests.
check-stress: install
	PELMO_STRESS=1 $(PY) -m pytest -q tests/python/test_reliability.py tests/python/test_references.py

# The C++ and Python suites under ASan+UBSan, then the threaded ones under TSan.
check-sanitizers: setup
	scripts/check-sanitizers.sh address
	scripts/check-sanitizers.sh thread

clean:
	rm -rf build
