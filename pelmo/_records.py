"""The plain records that pelmo hands out: a built Dag's nodes, a failed node
and what `check` finds. The native module builds them from these classes."""

from __future__ import annotations

from typing import Any, Callable, Dict, NamedTuple, Optional, Tuple


class Node(NamedTuple):
    """One node of a built Dag, as `Dag.nodes()` lists it."""

    id: int
    label: Optional[str]
    function: Optional[Callable[[Dict[str, Any]], Dict[str, Any]]]
    inputs: Dict[str, str]
    """Context name -> the name the callable sees."""
    outputs: Dict[str, str]
    """Result name -> context name."""
    dependencies: Tuple[int, ...]
    level: int
    variant: Optional[int]
    branch: bool


class Finding(NamedTuple):
    """A pitfall in how a Dag's nodes share names, found by `pelmo.check`."""

    kind: str
    """"race", "overwrite" or "unset"."""
    name: str
    nodes: Tuple[int, ...]
    message: str


def describe_node(node: int, label: Optional[str]) -> str:
    return f"node {node}" if label is None else f"node {node} ({label!r})"


class NodeError(Exception):
    """A node failed in a run with ``on_error="raise"``.

    ``node`` is the node's id, ``label`` its label (or None), and
    ``__cause__`` what the callable raised, or a TypeError when it returned
    something other than a dict. When several nodes of one parallel level
    failed, this is the first of them in level order, and ``others`` holds
    the NodeErrors of the rest, in level order; otherwise it is empty.
    """

    node: int
    label: Optional[str]
    others: Tuple["NodeError", ...]

    def __init__(self, node: int, label: Optional[str], cause: BaseException,
                 others: Tuple["NodeError", ...] = ()) -> None:
        super().__init__(f"{describe_node(node, label)} failed: {type(cause).__name__}: {cause}")
        self.node = node
        self.label = label
        self.others = tuple(others)
        self.__cause__ = cause

    def __reduce__(self) -> Tuple[Any, ...]:
        # Rebuilt from its parts wherever it is unpickled (a dask client),
        # cause included; only the tracebacks stay behind.
        return (type(self), (self.node, self.label, self.__cause__, self.others))
