"""The chain workload and the hand-written loops pelmo is measured against.

Shared by compare.py (wall time) and instructions.py (instruction counts), so
both measure the same nodes, the same name mapping and the same loops. It
imports pelmo alone, not even typing or dataclasses: under callgrind every
child interpreter imports it, and those two would cost more instructions than
the chain itself.

An edge is one hop of the chain: (callable, the context name it reads as "x"
or None for the first node, the context name its "y" goes to).
"""

from __future__ import annotations

import pelmo


def make_increments(count: int) -> list:
    # One distinct function object per node, as a real chain has, so no
    # engine profits from calling one hot object again and again.
    return [lambda d: {"y": d.get("x", 0) + 1} for _ in range(count)]


def fresh_names(functions: list) -> list:
    """Node i writes "v{i}" and node i+1 reads it: the context grows to N names."""
    return [(f, f"v{i - 1}" if i else None, f"v{i}") for i, f in enumerate(functions)]


def shared_names(functions: list, name: str = "x") -> list:
    """Every node reads `name` and writes it again: the context keeps one name."""
    return [(f, name, name) for f in functions]


def expected_context(edges: list) -> dict:
    # Node i computes i + 1 along the chain whatever the names are.
    return {dst: i + 1 for i, (_, _, dst) in enumerate(edges)}


def build_pelmo_chain(edges: list) -> pelmo.Dag:
    graph = pelmo.Graph()
    for function, src, dst in edges:
        graph.add(function, inputs={src: "x"} if src is not None else {}, outputs={"y": dst})
    return graph.build()


def run_tight_loop(edges: list) -> dict:
    """The loop a user would write for this chain by hand, with the same dict
    work as an engine: build the argument dict, call, store the result. No
    helper call per node; this is the floor the tables compare against."""
    ctx: dict = {}
    for f, src, dst in edges:
        inputs = {"x": ctx[src]} if src in ctx else {}
        out = f(inputs)
        ctx[dst] = out["y"]
    return ctx


class PlainNode:
    """A node as a general hand-written runner holds it: (name, argument)
    input pairs and (result, name) output pairs."""

    def __init__(self, function, inputs: tuple, outputs: tuple) -> None:
        self.function = function
        self.inputs = inputs
        self.outputs = outputs


def plain_nodes(edges: list) -> list:
    return [PlainNode(f, ((src, "x"),) if src is not None else (), (("y", dst),)) for f, src, dst in edges]


def run_node(node: PlainNode, context: dict) -> None:
    """A general node step: gather the mapped inputs present in the context,
    call, and write the mapped results back."""
    args = {arg: context[name] for name, arg in node.inputs if name in context}
    result = node.function(args)
    for result_name, context_name in node.outputs:
        if result_name in result:
            context[context_name] = result[result_name]


def run_node_loop(nodes: list) -> dict:
    """A loop calling run_node for every node: a general hand-written runner,
    slower than the tight loop by a function call and a comprehension per node."""
    context: dict = {}
    for node in nodes:
        run_node(node, context)
    return context
