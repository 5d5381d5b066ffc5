"""Helpers shared by the test modules (pytest puts this directory on sys.path)."""

import inspect
import os
import subprocess
import sys
import textwrap

import pytest

MODES = pytest.mark.parametrize("parallel", [False, True], ids=["sequential", "parallel"])
TAKEN = "Graph has already been built or consumed"


def noop(inputs):
    return {}


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def run_python(code, *helpers, timeout=60, **env):
    """Runs `code` (dedented) in a fresh interpreter after the source of `helpers`, with `env`
    added to the environment.

    The helpers travel as source so that the child never imports pytest, whose
    exceptiongroup backport replaces sys.excepthook.
    """
    prelude = "import sys, time, pelmo\n" + "".join(inspect.getsource(helper) for helper in helpers)
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, **env},
    )


def assert_clean_exit(done, status=0):
    assert "Fatal Python error" not in done.stderr, done.stderr
    assert "terminate called" not in done.stderr, done.stderr
    assert done.returncode == status, done.stderr
