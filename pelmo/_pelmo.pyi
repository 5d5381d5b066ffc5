"""Directed acyclic graphs of Python callables: build one with Graph, run it as a Dag"""

from typing import (
    Any,
    Dict,
    Iterable,
    List,
    Literal,
    Mapping,
    NoReturn,
    Optional,
    Protocol,
    Sequence,
    Tuple,
    Union,
    final,
)

from ._records import Node

__all__ = ["Graph", "Dag"]

# A protocol rather than a Callable alias: against a Callable context mypy
# cannot infer a lambda with an extra defaulted parameter, the
# `lambda d, k=k: ...` of a sweep, while a protocol's call accepts it.
class _NodeCallable(Protocol):
    def __call__(self, inputs: Dict[str, Any], /) -> Dict[str, Any]: ...

_Mapping = Union[Dict[str, str], List[Tuple[str, str]]]

@final
class Graph:
    """Python wrapper for Graph builder"""

    def __init__(self) -> None: ...
    def add(
        self,
        function: Optional[_NodeCallable] = None,
        label: Optional[str] = None,
        inputs: Optional[_Mapping] = None,
        outputs: Optional[_Mapping] = None,
    ) -> None:
        """Add a node to the graph"""
    def branch(self, subgraph: Graph) -> int:
        """Create a branch in the graph"""
    def variants(
        self,
        functions: Sequence[_NodeCallable],
        label: Optional[str] = None,
        inputs: Optional[_Mapping] = None,
        outputs: Optional[_Mapping] = None,
    ) -> None:
        """Create variant nodes (parameter sweep)"""
    def build(self) -> Dag:
        """Build the DAG from the graph"""

@final
class Dag:
    """Python wrapper for DAG executor"""

    # A Dag comes only from Graph.build(); calling Dag() raises TypeError, so
    # no call may type-check: the parameter takes no value.
    def __init__(self, use_Graph_build: NoReturn) -> None: ...

    def execute(
        self,
        parallel: bool = False,
        max_threads: Optional[int] = None,
        *,
        inputs: Optional[Mapping[str, Any]] = None,
        outputs: Optional[Iterable[str]] = None,
        on_error: Literal["print", "raise"] = "print",
    ) -> Dict[str, Any]:
        """Execute the DAG"""
    def to_mermaid(self) -> str:
        """Get Mermaid diagram representation"""
    def nodes(self) -> List[Node]:
        """List the nodes in execution order"""
    def node_count(self) -> int:
        """Get the number of nodes in the DAG"""
