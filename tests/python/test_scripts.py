"""The project's own commands: a run that could not test must not pass."""

import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_version_run_fails_when_the_interpreter_is_missing():
    completed = subprocess.run(["bash", "scripts/test-versions.sh", "3.99"], cwd=ROOT, capture_output=True,
                               text=True, timeout=120)
    assert completed.returncode != 0
    assert "no CPython 3.99 found" in completed.stderr
    assert "pyenv install 3.99" in completed.stderr
