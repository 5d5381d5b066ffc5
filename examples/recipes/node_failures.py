"""Knowing that a node failed.

A failing callable does not stop a run: pelmo prints the traceback and the
node contributes nothing. To act on failures, wrap each callable so that it
records the exception with the node's label in a list the caller reads after
`execute`, and re-raises nothing. Or, without wrapping anything, swap
`sys.excepthook`, through which pelmo reports a raising node.

    python examples/recipes/node_failures.py
"""

import functools
import sys
from types import TracebackType
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple, Type

import pelmo

Values = Dict[str, Any]
Node = Callable[[Values], Values]


class Failures(List[Tuple[str, BaseException]]):
    """(label, exception) of every node that raised, in the order they did."""

    def watch(self, label: str) -> Callable[[Node], Node]:
        def decorate(function: Node) -> Node:
            @functools.wraps(function)
            def node(inputs: Values) -> Values:
                try:
                    return function(inputs)
                except Exception as error:
                    # list.append holds the GIL throughout, so nodes of a
                    # parallel level may record at the same time.
                    self.append((label, error))
                    return {}

            return node

        return decorate


@contextmanager
def exceptions_seen() -> Iterator[List[BaseException]]:
    """Collects what reaches sys.excepthook while the block runs. The hook
    sees the exception but not the node's label: name it in the message if
    you need it."""
    seen: List[BaseException] = []

    def hook(kind: Type[BaseException], error: BaseException, traceback: Optional[TracebackType]) -> None:
        seen.append(error)

    previous, sys.excepthook = sys.excepthook, hook
    try:
        yield seen
    finally:
        sys.excepthook = previous


def parse(inputs: Values) -> Values:
    return {"numbers": [int(text) for text in inputs["texts"]]}


def total(inputs: Values) -> Values:
    return {"total": sum(inputs["numbers"])}


def unwatched(label: str) -> Callable[[Node], Node]:
    return lambda function: function


def build_graph(texts: List[str], watch: Callable[[str], Callable[[Node], Node]] = unwatched) -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(lambda _: {"texts": texts}, "Load", outputs={"texts": "texts"})
    graph.add(watch("Parse")(parse), "Parse", inputs={"texts": "texts"}, outputs={"numbers": "numbers"})
    graph.add(watch("Total")(total), "Total", inputs={"numbers": "numbers"}, outputs={"total": "total"})
    return graph.build()


def main() -> None:
    failures = Failures()
    # Total runs even though Parse failed, and finds no "numbers": one bad
    # text shows up as two failures.
    context = build_graph(["1", "2", "three"], failures.watch).execute()
    print("context:", sorted(context))
    for label, error in failures:
        print(f"failed: {label}: {type(error).__name__}: {error}")

    with exceptions_seen() as seen:
        build_graph(["4", "five"]).execute(parallel=True)
    print("excepthook saw:", [type(error).__name__ for error in seen])


if __name__ == "__main__":
    main()
