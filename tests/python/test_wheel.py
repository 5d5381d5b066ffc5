"""The wheel is self-contained: built from the checkout and installed into a
fresh virtual environment, it imports, runs the README's demo and ships the
type stubs. The development venv is never on the new one's path, so nothing
passes here by borrowing from it."""

import importlib.util
import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
STUB = "pelmo-stubs/__init__.pyi"

pytestmark = pytest.mark.slow


def run(*command, **kwargs):
    # A clean environment: no PYTHONPATH or venv leaking the dev install in.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV", "PYTHONHOME")}
    completed = subprocess.run(command, capture_output=True, text=True, timeout=600, env=env, **kwargs)
    assert completed.returncode == 0, f"{command}\n{completed.stdout}\n{completed.stderr}"
    return completed


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    if subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode:
        pytest.skip("pip is not available")
    # --no-build-isolation uses the build tools already here, so the build
    # needs nothing from the network.
    for module in ("scikit_build_core", "cmake", "ninja"):
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"{module} is not installed")
    out = tmp_path_factory.mktemp("wheel")
    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", str(ROOT), "-w", str(out),
        cwd=ROOT)
    wheels = list(out.glob("pelmo-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="module")
def venv_python(wheel, tmp_path_factory):
    venv = tmp_path_factory.mktemp("venv") / "env"
    run(sys.executable, "-m", "venv", str(venv))
    python = venv / "bin" / "python"
    run(str(python), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel))
    return python


class TestWheel:
    def test_wheel_contains_module_and_stubs(self, wheel):
        names = zipfile.ZipFile(wheel).namelist()
        assert STUB in names
        assert any(name.startswith("pelmo.") and name.endswith((".so", ".pyd")) for name in names), names

    def test_imports_from_the_new_venv(self, venv_python):
        probe = ("import json, sys, sysconfig, pelmo; "
                 "print(json.dumps([pelmo.__file__, sysconfig.get_paths()['purelib'], sys.path]))")
        module_file, site_packages, path = json.loads(run(str(venv_python), "-c", probe, cwd="/").stdout)
        assert Path(module_file).parent == Path(site_packages)
        assert not any(str(ROOT / ".venv") in entry for entry in path)

    def test_runs_the_demo(self, venv_python, tmp_path):
        completed = run(str(venv_python), str(ROOT / "examples" / "pipeline.py"), cwd=tmp_path)
        assert completed.stderr == ""
        lines = completed.stdout.splitlines()
        assert lines[0] == "nodes: 6"  # Load, Clean, three Scale variants, Audit
        sequential = json.loads(lines[1].removeprefix("sequential:"))
        parallel = json.loads(lines[2].removeprefix("parallel:"))
        # Cleaning drops the missing reading and the 120.0 spike; the mean of
        # the five left is 4.5.
        assert sequential == parallel
        assert sequential["mean_x1.0"] == 4.5
        assert sequential["mean_x2.0"] == 9.0
        assert sequential["audit"] == "7 readings loaded"
        assert "graph TD" in completed.stdout

    def test_stubs_installed_in_site_packages(self, venv_python):
        probe = ("import importlib.metadata as m, json, sysconfig; d = m.distribution('pelmo'); "
                 "print(json.dumps([sysconfig.get_paths()['purelib'], [str(f) for f in d.files]]))")
        site_packages, recorded = json.loads(run(str(venv_python), "-c", probe, cwd="/").stdout)
        stub = Path(site_packages) / STUB
        assert stub.is_file()
        assert STUB in recorded
        assert "class Graph" in stub.read_text() and "class Dag" in stub.read_text()
