"""Correct use of every method, with the types the stubs promise."""

from typing import Any, Dict, List, Mapping

import pelmo


def load(inputs: Dict[str, Any]) -> Dict[str, Any]:
    return {"v": 1}


def reads_a_mapping(inputs: Mapping[str, Any]) -> Dict[str, float]:
    return {"w": float(len(inputs))}


graph = pelmo.Graph()
graph.add(load, "Load", outputs=[("v", "data")])
graph.add(reads_a_mapping, inputs={"data": "x"}, outputs={"w": "w"})
graph.variants([load, load], "Sweep", inputs={"data": "x"})
graph.variants([lambda d, k=k: {f"s{k}": d["x"] * k} for k in (2, 3)], "Scale", inputs={"data": "x"})
side = pelmo.Graph()
side.add()
branch_id: int = graph.branch(side)
dag: pelmo.Dag = graph.build()
result: Dict[str, Any] = dag.execute(parallel=True, max_threads=2)
result = dag.execute(max_threads=None)
text: str = dag.to_mermaid()
count: int = dag.node_count()
findings: List[pelmo.Finding] = pelmo.check(dag, inputs={"data": 1})
