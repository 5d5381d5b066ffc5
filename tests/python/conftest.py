"""The pelmo under test is the installed one (or the build tree's, on PYTHONPATH). The
checkout's pelmo/ holds only the package's Python files, without the native module, so
neither the test process nor the interpreters it starts may find it first: the checkout
leaves sys.path, and the tests run from a directory of their own."""

import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path[:] = [entry for entry in sys.path if Path(entry or ".").resolve() != ROOT]


@pytest.fixture(scope="session", autouse=True)
def away_from_the_checkout(tmp_path_factory):
    previous = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("cwd"))
    yield
    os.chdir(previous)


def pytest_collection_modifyitems(items):
    # Longest first: under pytest-xdist (make test) a worker that started one
    # of them last would keep the run going alone while the other core idles.
    items.sort(key=lambda item: item.get_closest_marker("long") is None)
