"""The module object and the two classes as Python sees them."""

import inspect
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
        assert pelmo.__all__ == ["Graph", "Dag"]
        assert pelmo.__doc__ == MODULE_DOC
        for name in pelmo.__all__:
            assert isinstance(getattr(pelmo, name), type)

    def test_second_initialisation_fails_and_first_module_keeps_working(self):
        # The types are created once per process; a second module object
        # would hand out classes the first one's instances don't belong to.
        script = textwrap.dedent(
            """
            import sys
            import pelmo
            first = pelmo
            del sys.modules["pelmo"]
            try:
                import pelmo
            except ImportError:
                pass
            else:
                sys.exit("second import succeeded")
            graph = first.Graph()
            graph.add(lambda d: {"v": 1}, outputs={"v": "out"})
            assert graph.build().execute() == {"out": 1}
            """
        )
        result = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
        )
        assert result.returncode == 0, result.stdout + result.stderr


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
        assert repr(cls) == f"<class 'builtins.{name}'>"
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == name
        assert cls.__doc__ == doc

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
    pelmo.Dag: {"execute", "to_mermaid", "node_count"},
}

DOCS = [
    (
        pelmo.Graph.add,
        "($self, function=None, label=None, inputs=None, outputs=None)",
        "Add a node to the graph\n\nArgs:\n"
        "    function: Optional Python callable. If None, creates a no-op node.\n"
        "    label: Optional string label for the node\n"
        "    inputs: Optional list of (broadcast_var, impl_var) tuples or dict\n"
        "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict\n\n"
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
        "    inputs: Optional list of (broadcast_var, impl_var) tuples or dict\n"
        "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict\n\n"
        "Returns:\n    None\n\n"
        "Example:\n"
        "    factors = np.linspace(0.5, 2.0, 5)\n"
        "    graph.variants(\n"
        '        [lambda inputs, f=f: {"scaled": inputs["x"] * f} for f in factors],\n'
        '        "Scale",\n'
        '        [("data", "x")],\n'
        '        [("scaled", "result")]\n'
        "    )",
    ),
    (
        pelmo.Graph.build,
        "($self)",
        "Build the DAG from the graph\n\nReturns:\n    Dag instance ready for execution",
    ),
    (
        pelmo.Dag.execute,
        "($self, parallel=False, max_threads=None)",
        "Execute the DAG\n\nArgs:\n"
        "    parallel (bool): If True, execute nodes at the same level concurrently."
        " Default: False\n"
        "    max_threads (Optional[int]): Maximum number of threads to use per level."
        " None = unlimited. Default: None\n\n"
        "Returns:\n    Dictionary containing the execution context",
    ),
    (
        pelmo.Dag.to_mermaid,
        "($self)",
        "Get Mermaid diagram representation\n\nReturns:\n    String containing the Mermaid diagram",
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
        numpy = pytest.importorskip("numpy")
        example = pelmo.Graph.variants.__doc__.split("Example:\n", 1)[1]
        graph = pelmo.Graph()
        graph.add(lambda inputs: {"data": 2.0}, outputs={"data": "data"})
        exec(textwrap.dedent(example), {"np": numpy, "graph": graph})
        dag = graph.build()
        assert dag.node_count() == 6
        for parallel in (False, True):
            # every variant writes "result"; whichever is merged last remains
            assert dag.execute(parallel=parallel)["result"] in {1.0, 1.75, 2.5, 3.25, 4.0}
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
