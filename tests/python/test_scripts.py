"""The project's own commands: a run that could not test must not pass."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def test_version_run_fails_when_the_interpreter_is_missing():
    completed = subprocess.run(["bash", "scripts/test-versions.sh", "3.99"], cwd=ROOT, capture_output=True,
                               text=True, timeout=120)
    assert completed.returncode != 0
    assert "no CPython 3.99 found" in completed.stderr
    assert "pyenv install 3.99" in completed.stderr


def test_cibuildwheel_builds_linux_wheels_for_every_supported_cpython():
    cibuildwheel = shutil.which("cibuildwheel", path=str(Path(sys.executable).parent))
    if cibuildwheel is None:
        pytest.skip("cibuildwheel is not installed")
    completed = subprocess.run([cibuildwheel, "--platform", "linux", "--print-build-identifiers", str(ROOT)],
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    identifiers = completed.stdout.split()
    assert {re.match(r"cp3\d+", i).group() for i in identifiers} == {"cp310", "cp311", "cp312", "cp313"}, identifiers
    for python in ("cp310", "cp311", "cp312", "cp313"):
        assert {f"{python}-manylinux_x86_64", f"{python}-musllinux_x86_64"} <= set(identifiers), identifiers
