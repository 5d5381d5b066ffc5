"""The module object and the two classes as Python sees them."""

import inspect
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

import pelmo


MODULE_DOC = "Directed acyclic graphs of Python callables: build one with Graph, run it as a Dag"


def make_dag():
    return pelmo.Graph().build()


class TestModule:
    def test_exports(self):
        assert pelmo.__all__ == ["Graph", "Dag", "Node", "NodeError", "Finding", "check"]
        assert pelmo.__doc__ == MODULE_DOC
        for name in pelmo.__all__:
            assert getattr(pelmo, name).__module__ in ("pelmo", "pelmo._records", "pelmo._check")

    def test_package_imports_again_but_native_module_initialises_once(self):
        # The types are created once per process; a second module object
        # would hand out classes the first one's instances don't belong to.
        script = textwrap.dedent(
            """
            import importlib, sys
            import pelmo
            first = pelmo
            assert importlib.reload(pelmo).Graph is first.Graph
            del sys.modules["pelmo"]
            import pelmo
            assert pelmo.Graph is first.Graph
            del sys.modules["pelmo"], sys.modules["pelmo._pelmo"]
            try:
                import pelmo
            except ImportError as error:
                assert "once per process" in str(error), error
            else:
                sys.exit("second initialisation succeeded")
            graph = first.Graph()
            graph.add(lambda d: {"v": 1}, outputs={"v": "out"})
            assert graph.build().execute() == {"out": 1}
            """
        )
        result = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
        )
        assert result.returncode == 0, result.stdout + result.stderr

    def test_imports_nothing_beyond_the_standard_library(self):
        script = "import sys; before = set(sys.modules); import pelmo; print(sorted(set(sys.modules) - before))"
        loaded = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        names = {name.split(".")[0] for name in eval(loaded.stdout)}
        assert names <= set(sys.stdlib_module_names) | {"pelmo"}, names


@pytest.mark.parametrize(
    "cls, doc",
    [
        (pelmo.Graph, "Python wrapper for Graph builder"),
        (pelmo.Dag, "Python wrapper for DAG executor"),
    ],
    ids=["Graph", "Dag"],
)
class TestClassObjects:
    def test_identity(self, cls, doc):
        name = cls.__name__
        assert repr(cls) == f"<class 'pelmo.{name}'>"
        assert cls.__module__ == "pelmo"
        assert cls.__qualname__ == name
        assert cls.__doc__ == doc
        # Pickle and every tool that resolves classes by reference find them.
        assert pickle.loads(pickle.dumps(cls)) is cls
        instance = pelmo.Graph() if cls is pelmo.Graph else make_dag()
        with pytest.raises(TypeError, match=f"cannot pickle 'pelmo.{name}' object"):
            pickle.dumps(instance)

    def test_not_subclassable(self, cls, doc):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    def test_instances_are_closed(self, cls, doc):
        instance = pelmo.Graph() if cls is pelmo.Graph else make_dag()
        assert type(instance) is cls
        assert not hasattr(instance, "__dict__")
        with pytest.raises(AttributeError):
            instance.anything = 1
        with pytest.raises(AttributeError):
            instance.add = None
        with pytest.raises(TypeError):
            weakref.ref(instance)


METHODS = {
    pelmo.Graph: {"add", "branch", "variants", "build"},
    pelmo.Dag: {"execute", "to_mermaid", "nodes", "node_count"},
}

DOCS = [
    (
        pelmo.Graph.add,
        "($self, function=None, label=None, inputs=None, outputs=None)",
        "Add a node to the graph\n\nArgs:\n"
        "    function: Optional Python callable. If None, creates a no-op node.\n"
        "    label: Optional string label for the node\n"
        "    inputs: Optional dict {context_name: arg_name} or list of (context_name, arg_name) tuples\n"
        "    outputs: Optional dict {result_name: context_name} or list of (result_name, context_name)"
        " tuples\n\n"
        "Returns:\n    None",
    ),
    (
        pelmo.Graph.branch,
        "($self, subgraph)",
        "Create a branch in the graph\n\nArgs:\n"
        "    subgraph: Graph instance representing the branch\n\n"
        "Returns:\n    Branch ID (int)",
    ),
    (
        pelmo.Graph.variants,
        "($self, functions, label=None, inputs=None, outputs=None)",
        "Create variant nodes (parameter sweep)\n\nArgs:\n"
        "    functions: List of Python callables, each with signature (inputs) -> dict\n"
        "    label: Optional string label for the variant nodes\n"
        "    inputs: Optional dict {context_name: arg_name} or list of (context_name, arg_name) tuples\n"
        "    outputs: Optional dict {result_name: context_name} or list of (result_name, context_name)"
        " tuples, shared by all the variants\n\n"
        "Returns:\n    None\n\n"
        "Example:\n"
        "    # Each variant writes a name of its own, so the run keeps every result.\n"
        "    factors = [0.5, 1.0, 2.0]\n"
        "    graph.variants(\n"
        '        [lambda inputs, k=k, f=f: {f"scaled{k}": inputs["x"] * f}\n'
        "         for k, f in enumerate(factors)],\n"
        '        "Scale",\n'
        '        {"data": "x"},\n'
        '        {f"scaled{k}": f"result{k}" for k in range(len(factors))},\n'
        "    )\n"
        '    # With "data" = 2.0: result0 = 1.0, result1 = 2.0, result2 = 4.0',
    ),
    (
        pelmo.Graph.build,
        "($self)",
        "Build the DAG from the graph\n\nReturns:\n    Dag instance ready for execution",
    ),
    (
        pelmo.Dag.execute,
        "($self, parallel=False, max_threads=None, *, inputs=None, outputs=None, on_error='print')",
        "Execute the DAG\n\nArgs:\n"
        "    parallel (bool): If True, execute nodes at the same level concurrently."
        " Default: False\n"
        "    max_threads (Optional[int]): Maximum number of threads to use per level."
        " None = unlimited. Default: None\n"
        "    inputs (Optional[Mapping[str, Any]]): Values put into the context before the first"
        " node runs. Default: None\n"
        "    outputs (Optional[Iterable[str]]): The names to return. None = the whole context."
        " Default: None\n"
        "    on_error (str): 'print' reports a failing node and goes on; 'raise' stops the run"
        " and raises pelmo.NodeError. Default: 'print'\n\n"
        "Returns:\n    Dictionary containing the execution context",
    ),
    (
        pelmo.Dag.to_mermaid,
        "($self)",
        "Get Mermaid diagram representation\n\nReturns:\n    String containing the Mermaid diagram",
    ),
    (
        pelmo.Dag.nodes,
        "($self)",
        "List the nodes in execution order\n\nReturns:\n"
        "    A list of pelmo.Node records, in the order of a sequential run",
    ),
    (
        pelmo.Dag.node_count,
        "($self)",
        "Get the number of nodes in the DAG\n\nReturns:\n    Number of nodes",
    ),
]


class TestMethods:
    @pytest.mark.parametrize("cls", list(METHODS), ids=["Graph", "Dag"])
    def test_method_table(self, cls):
        public = {name for name in vars(cls) if not name.startswith("_")}
        assert public == METHODS[cls]

    @pytest.mark.parametrize(
        "method, signature, doc", DOCS, ids=[entry[0].__name__ for entry in DOCS]
    )
    def test_signature_and_doc(self, method, signature, doc):
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc
        # what help() shows: the real defaults, not Ellipsis
        assert str(inspect.signature(method)) == signature.replace("$self", "self, /")

    def test_variants_example_runs(self, capsys):
        example = pelmo.Graph.variants.__doc__.split("Example:\n", 1)[1]
        graph = pelmo.Graph()
        graph.add(lambda inputs: {"data": 2.0}, outputs={"data": "data"})
        exec(textwrap.dedent(example), {"graph": graph})
        dag = graph.build()
        assert dag.node_count() == 4
        for parallel in (False, True):
            assert dag.execute(parallel=parallel) == {"data": 2.0, "result0": 1.0, "result1": 2.0, "result2": 4.0}
        assert capsys.readouterr().err == ""


class TestConstructors:
    def test_graph_takes_no_arguments(self):
        assert type(pelmo.Graph()) is pelmo.Graph
        with pytest.raises(TypeError):
            pelmo.Graph(1)
        with pytest.raises(TypeError):
            pelmo.Graph(x=1)

    def test_dag_only_from_build(self):
        with pytest.raises(TypeError):
            pelmo.Dag()
        assert type(pelmo.Graph().build()) is pelmo.Dag
