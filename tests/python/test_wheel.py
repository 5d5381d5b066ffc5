"""The wheel is self-contained: built from the checkout and installed into a
fresh virtual environment, it imports, runs the README's demo and ships the
type stubs and the licence; it needs no library beyond the manylinux
policy's. The sdist builds and installs in a fresh venv too. The development
venv is never on the new one's path, so nothing passes here by borrowing
from it.

`make test` builds the sdist, and a wheel from it for each interpreter, once,
and names their directory in PELMO_DIST; run alone, this module builds its
own."""

import importlib.util
import json
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
STUB = "pelmo/_pelmo.pyi"
DIST = os.environ.get("PELMO_DIST")

# One worker builds the venvs the module's tests share.
pytestmark = [pytest.mark.slow, pytest.mark.xdist_group("wheel")]


def run(*command, **kwargs):
    # A clean environment: no PYTHONPATH or venv leaking the dev install in.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV", "PYTHONHOME")}
    completed = subprocess.run(command, capture_output=True, text=True, timeout=600, env=env, **kwargs)
    assert completed.returncode == 0, f"{command}\n{completed.stdout}\n{completed.stderr}"
    return completed


def built(pattern):
    found = sorted(Path(DIST).glob(pattern))
    # Given a directory, a missing distribution is a failure, not a skip.
    assert len(found) == 1, f"PELMO_DIST={DIST} should hold one {pattern}, not {found}"
    return found[0]


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    if DIST:
        return built(f"pelmo-*-cp{sys.version_info[0]}{sys.version_info[1]}-*.whl")
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


def fresh_venv(tmp_path_factory, *pip_install):
    # Without a pip of its own (ensurepip takes three seconds): this one's
    # installs into it.
    venv = tmp_path_factory.mktemp("venv") / "env"
    run(sys.executable, "-m", "venv", "--without-pip", str(venv))
    python = venv / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", str(python), "install", "-q", *pip_install)
    return python


@pytest.fixture(scope="module")
def venv_python(wheel, tmp_path_factory):
    return fresh_venv(tmp_path_factory, "--no-index", "--no-deps", str(wheel))


@pytest.fixture(scope="module")
def sdist(wheel, tmp_path_factory):
    if DIST:
        return built("pelmo-*.tar.gz")
    # The backend's own hook, as any frontend calls it; after the wheel,
    # which has already skipped where the build tools are missing.
    out = tmp_path_factory.mktemp("sdist")
    name = run(sys.executable, "-c", f"from scikit_build_core.build import build_sdist; print(build_sdist({str(out)!r}))",
               cwd=ROOT).stdout.split()[-1]
    return out / name


def run_demo(python, cwd):
    completed = run(str(python), str(ROOT / "examples" / "pipeline.py"), cwd=cwd)
    assert completed.stderr == ""
    return completed


class TestWheel:
    def test_wheel_contains_module_stubs_and_licence(self, wheel):
        names = zipfile.ZipFile(wheel).namelist()
        assert {STUB, "pelmo/py.typed", "pelmo/__init__.py", "pelmo/_records.py"} <= set(names), names
        assert "pelmo-0.2.0.dist-info/licenses/LICENSE" in names, names
        assert any(name.startswith("pelmo/_pelmo.") and name.endswith(".so") for name in names), names

    def test_imports_from_the_new_venv(self, venv_python):
        probe = ("import json, sys, sysconfig, pelmo; "
                 "print(json.dumps([pelmo.__file__, sysconfig.get_paths()['purelib'], sys.path]))")
        module_file, site_packages, path = json.loads(run(str(venv_python), "-c", probe, cwd="/").stdout)
        assert Path(module_file).parent == Path(site_packages) / "pelmo"
        assert not any(str(ROOT / ".venv") in entry for entry in path)

    def test_runs_the_demo(self, venv_python, tmp_path):
        completed = run_demo(venv_python, tmp_path)
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
        assert (Path(site_packages) / "pelmo" / "py.typed").is_file()

    def test_auditwheel_finds_only_policy_libraries(self, wheel):
        if importlib.util.find_spec("auditwheel") is None:
            pytest.skip("auditwheel is not installed")
        report = " ".join(run(sys.executable, "-m", "auditwheel", "show", str(wheel)).stdout.split())
        # A library outside the policy would be listed as one to graft in,
        # and the wheel would be consistent with no manylinux tag.
        assert re.search(r'consistent with the following platform tag: "manylinux_\d+_\d+_\w+"', report), report
        assert "external shared libraries are required" not in report, report
        needed = set(re.findall(r"(\S+\.so\.\d+) with versions", report))
        assert needed <= {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "libpthread.so.0"}, report

    def test_pypi_accepts_the_long_description(self, wheel, sdist):
        if importlib.util.find_spec("twine") is None:
            pytest.skip("twine is not installed")
        report = run(sys.executable, "-m", "twine", "check", "--strict", str(wheel), str(sdist)).stdout
        assert report.count("PASSED") == 2, report
        with zipfile.ZipFile(wheel) as archive:
            metadata = archive.read("pelmo-0.2.0.dist-info/METADATA").decode()
        headers, description = metadata.split("\n\n", 1)
        assert "Description-Content-Type: text/markdown" in headers
        # PyPI resolves neither of the source tree's relative paths: no picture
        # may point into it, nor any link.
        assert "<img" not in description
        assert re.findall(r"\]\((?!https?://)", description) == []
        for heading in ("## Install", "## A short tour", "## How data flows", "## Scale out", "## Contributing"):
            assert heading in description

    # A group of its own: the sdist builds beside the wheel's other tests.
    @pytest.mark.xdist_group("sdist")
    @pytest.mark.long
    def test_sdist_ships_licence_and_installs_in_a_fresh_venv(self, sdist, tmp_path_factory, tmp_path):
        with tarfile.open(sdist) as archive:
            names = archive.getnames()
        assert {"pelmo-0.2.0/LICENSE", "pelmo-0.2.0/pyproject.toml", f"pelmo-0.2.0/{STUB}", "pelmo-0.2.0/pelmo/py.typed"} <= set(names)
        # With build isolation: the sdist's own build requirements come from
        # the package index, as for a user's `pip install pelmo-0.2.0.tar.gz`.
        python = fresh_venv(tmp_path_factory, str(sdist))
        assert "sequential:" in run_demo(python, tmp_path).stdout
