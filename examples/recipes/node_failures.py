"""Knowing that a node failed.

`execute(on_error="raise")` stops the run at the first failing node and
raises pelmo.NodeError, which names the node and carries the callable's
exception as its cause. To let a run go on past failures and still know
about each of them, wrap each callable so that it records the exception
with the node's label in a list the caller reads after `execute`.

    python examples/recipes/node_failures.py
"""

import functools
from typing import Any, Callable, Dict, List, Tuple

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


def parse(inputs: Values) -> Values:
    return {"numbers": [int(text) for text in inputs["texts"]]}


def total(inputs: Values) -> Values:
    return {"total": sum(inputs["numbers"])}


def unwatched(label: str) -> Callable[[Node], Node]:
    return lambda function: function


def build_graph(watch: Callable[[str], Callable[[Node], Node]] = unwatched) -> pelmo.Dag:
    """Parse reads "texts", which each run passes in as an input."""
    graph = pelmo.Graph()
    graph.add(watch("Parse")(parse), "Parse", inputs={"texts": "texts"}, outputs={"numbers": "numbers"})
    graph.add(watch("Total")(total), "Total", inputs={"numbers": "numbers"}, outputs={"total": "total"})
    return graph.build()


def main() -> None:
    dag = build_graph()
    print("total:", dag.execute(inputs={"texts": ["1", "2", "3"]}, outputs=["total"], on_error="raise"))
    try:
        dag.execute(inputs={"texts": ["1", "2", "three"]}, on_error="raise")
    except pelmo.NodeError as error:
        # Total never ran: the run stopped at Parse.
        print(f"stopped: {error}")
        print(f"node {error.node} ({error.label}), cause: {error.__cause__!r}")

    failures = Failures()
    # The run goes on, and Total finds no "numbers": one bad text shows up
    # as two failures.
    context = build_graph(failures.watch).execute(inputs={"texts": ["4", "five"]}, parallel=True)
    print("context:", sorted(context))
    for label, failure in failures:
        print(f"failed: {label}: {type(failure).__name__}: {failure}")


if __name__ == "__main__":
    main()
