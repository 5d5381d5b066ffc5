#!/usr/bin/env bash
# The quick start: a venv of its own (.venv-demo) with only the build
# backend, pelmo built and installed into it, then examples/pipeline.py.
# Prints how long it all took. PYTHON may name the interpreter to use.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s.%N)
venv=${DEMO_VENV:-.venv-demo}
# pip alone, as a user would set it up.
VENV=$venv REQUIREMENTS=requirements-demo.txt NATIVE=0 UPGRADE_PIP=0 UV=0 scripts/setup.sh
# A build directory of its own: the development venv's build tree names
# another interpreter and another cmake.
"$venv/bin/python" -m pip install -q --no-build-isolation --config-settings=build-dir=build/demo-{wheel_tag} .
"$venv/bin/python" examples/pipeline.py
echo
"$venv/bin/python" -c 'import sys, time; print(f"demo: done in {time.time() - float(sys.argv[1]):.1f} s")' "$started"
