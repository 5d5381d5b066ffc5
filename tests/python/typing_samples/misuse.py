"""Deliberate misuse: each type checker must report every line that carries
a misuse comment, and no other line."""

from typing import Any, Dict, List

import pelmo


def takes_nothing() -> Dict[str, Any]:
    return {}


def returns_a_list(inputs: Dict[str, Any]) -> List[int]:
    return []


pelmo.Dag()  # misuse: a Dag comes only from Graph.build()
pelmo.Graph(1)  # misuse
graph = pelmo.Graph()
graph.add(takes_nothing)  # misuse: a node's callable takes the inputs dict
graph.add(returns_a_list)  # misuse: and returns a dict
graph.add(lambda d: 1)  # misuse
graph.add(lambda d: {}, label=3)  # misuse
graph.add(lambda d: {}, inputs={"a": 1})  # misuse
graph.add(lambda d: {}, outputs=[("a", "b", "c")])  # misuse
graph.add(lambda d: {}, inputs="a")  # misuse
graph.variants(lambda d: {})  # misuse: a sequence of callables
graph.variants([takes_nothing])  # misuse
dag = graph.build()
graph.branch(dag)  # misuse: branch takes a Graph
dag.execute(parallel="yes")  # misuse
dag.execute(max_threads=1.5)  # misuse
dag.execute(True, 2, 3)  # misuse
dag.to_mermaid(1)  # misuse
count: str = dag.node_count()  # misuse
dag.add(lambda d: {})  # misuse: a Dag is immutable
pelmo.check(graph)  # misuse: check takes a built Dag
