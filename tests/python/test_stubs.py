"""The type stubs shipped with the distribution agree with the module."""

import ast
import importlib.metadata
import importlib.util
import inspect
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import pelmo

STUB = "pelmo/_pelmo.pyi"


@pytest.fixture(scope="module")
def stub_path():
    distribution = importlib.metadata.distribution("pelmo")
    installed = {str(path) for path in distribution.files or []}
    assert {STUB, "pelmo/py.typed"} <= installed, "stubs not installed"
    path = distribution.locate_file(STUB)
    assert path.is_file()
    return path


@pytest.fixture(scope="module")
def stub_classes(stub_path):
    tree = ast.parse(stub_path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}, tree


class TestStubContents:
    def test_all_and_classes_match(self, stub_classes):
        classes, tree = stub_classes
        exported = next(
            node.value
            for node in tree.body
            if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
        )
        assert ast.literal_eval(exported) == pelmo._pelmo.__all__
        assert {name for name in classes if not name.startswith("_")} == set(pelmo._pelmo.__all__)
        assert ast.get_docstring(tree) == pelmo._pelmo.__doc__

    @pytest.mark.parametrize("name", ["Graph", "Dag"])
    def test_methods_and_parameters_match(self, stub_classes, name):
        runtime = getattr(pelmo, name)
        methods = {
            node.name: node
            for node in stub_classes[0][name].body
            if isinstance(node, ast.FunctionDef) and not node.name.startswith("_")
        }
        assert set(methods) == {m for m in dir(runtime) if not m.startswith("_")}
        for method, node in methods.items():
            stubbed = [argument.arg for argument in node.args.args + node.args.kwonlyargs]
            parameters = inspect.signature(getattr(runtime, method)).parameters.values()
            assert stubbed == [parameter.name for parameter in parameters], method
            keyword_only = [p.name for p in parameters if p.kind is inspect.Parameter.KEYWORD_ONLY]
            assert [argument.arg for argument in node.args.kwonlyargs] == keyword_only, method
            defaults = [ast.literal_eval(default) for default in node.args.defaults + node.args.kw_defaults]
            actual = [p.default for p in parameters if p.default is not inspect.Parameter.empty]
            assert defaults == actual, method


ROOT = Path(__file__).resolve().parents[2]
SAMPLES = Path(__file__).resolve().parent / "typing_samples"
MISUSE = SAMPLES / "misuse.py"
ERROR_LINE = re.compile(r"^(?P<path>.+?):(?P<line>\d+): error:", re.MULTILINE)


def readme_tour(directory):
    """The README's Python blocks, as a module a checker can read."""
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.DOTALL)
    assert blocks, "README has no Python block"
    path = directory / "readme_tour.py"
    path.write_text("\n".join(blocks))
    return path


def mypy_errors(paths, cwd):
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-absolute-path",
         "--config-file", str(ROOT / "pyproject.toml"), *map(str, paths)],
        capture_output=True, text=True, cwd=cwd, timeout=300,
    )
    assert completed.returncode in (0, 1), completed.stdout + completed.stderr
    return [(Path(m["path"]), int(m["line"])) for m in ERROR_LINE.finditer(completed.stdout)], completed.stdout


def pyright_errors(paths, cwd):
    pyright = shutil.which("pyright", path=str(Path(sys.executable).parent))
    completed = subprocess.run(
        [pyright, "--outputjson", "--pythonpath", sys.executable, *map(str, paths)],
        capture_output=True, text=True, cwd=cwd, timeout=300,
    )
    report = json.loads(completed.stdout)
    found = [(Path(d["file"]), d["range"]["start"]["line"] + 1)
             for d in report["generalDiagnostics"] if d["severity"] == "error"]
    return found, completed.stdout


# A group each: a worker runs a checker once for both its tests, while the
# other checker may run on the other worker.
CHECKERS = [
    pytest.param(mypy_errors, id="mypy", marks=[pytest.mark.xdist_group("mypy"), pytest.mark.skipif(
        importlib.util.find_spec("mypy") is None, reason="mypy not installed")]),
    pytest.param(pyright_errors, id="pyright", marks=[pytest.mark.xdist_group("pyright"), pytest.mark.skipif(
        shutil.which("pyright", path=str(Path(sys.executable).parent)) is None, reason="pyright not installed")]),
]


@pytest.fixture(scope="module", params=CHECKERS)
def checked(request, tmp_path_factory):
    """One run of a checker over everything: the README's tour, every
    example and recipe, correct use of each method and the misuse file."""
    directory = tmp_path_factory.mktemp("typing")
    paths = [readme_tour(directory), *sorted((ROOT / "examples").rglob("*.py")), *sorted(SAMPLES.glob("*.py"))]
    errors, output = request.param(paths, directory)
    return paths, errors, output


# Slow: each checker reads NumPy and dask for the examples; and there is
# nothing native in it for the sanitizer pass to watch.
@pytest.mark.slow
class TestTypeCheckers:
    def test_readme_examples_and_correct_use_pass(self, checked):
        paths, errors, output = checked
        assert not [error for error in errors if error[0] != MISUSE], output

    def test_each_misuse_line_and_only_those_is_flagged(self, checked):
        _, errors, output = checked
        marked = {number for number, line in enumerate(MISUSE.read_text().splitlines(), 1) if "# misuse" in line}
        assert {line for path, line in errors if path == MISUSE} == marked, output
