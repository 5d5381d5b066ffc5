"""The type stubs shipped with the distribution agree with the module."""

import ast
import importlib.metadata
import importlib.util
import inspect
import subprocess
import sys
import textwrap

import pytest

import pelmo

STUB = "pelmo-stubs/__init__.pyi"


@pytest.fixture(scope="module")
def stub_path():
    distribution = importlib.metadata.distribution("pelmo")
    assert STUB in {str(path) for path in distribution.files or []}, "stubs not installed"
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
        assert ast.literal_eval(exported) == pelmo.__all__
        assert set(classes) == set(pelmo.__all__)
        assert ast.get_docstring(tree) == pelmo.__doc__

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
            stubbed = [argument.arg for argument in node.args.args]
            parameters = inspect.signature(getattr(runtime, method)).parameters.values()
            assert stubbed == [parameter.name for parameter in parameters], method
            defaults = [ast.literal_eval(default) for default in node.args.defaults]
            actual = [p.default for p in parameters if p.default is not inspect.Parameter.empty]
            assert defaults == actual, method


def run_mypy(tmp_path, source):
    script = tmp_path / "use_pelmo.py"
    script.write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(script)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")
class TestMypy:
    def test_correct_use_passes(self, tmp_path):
        result = run_mypy(
            tmp_path,
            """
            from typing import Any, Dict
            import pelmo

            def load(inputs: Dict[str, Any]) -> Dict[str, Any]:
                return {"v": 1}

            graph = pelmo.Graph()
            graph.add(load, "Load", outputs=[("v", "data")])
            graph.variants([load, load], "Sweep", inputs={"data": "x"})
            side = pelmo.Graph()
            side.add()
            branch_id: int = graph.branch(side)
            dag: pelmo.Dag = graph.build()
            result: Dict[str, Any] = dag.execute(parallel=True, max_threads=2)
            text: str = dag.to_mermaid()
            count: int = dag.node_count()
            """,
        )
        assert result.returncode == 0, result.stdout + result.stderr

    def test_misuse_of_execute_is_reported(self, tmp_path):
        result = run_mypy(
            tmp_path,
            """
            import pelmo

            dag = pelmo.Graph().build()
            dag.execute(parallel="yes")
            """,
        )
        assert result.returncode == 1, result.stdout + result.stderr
        assert "execute" in result.stdout
