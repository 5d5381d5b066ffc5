"""Correct use of pelmo.dask, with the types its annotations promise."""

from typing import Any, Dict, Hashable

import pelmo
import pelmo.dask
from dask.distributed import Client


def load(inputs: Dict[str, Any]) -> Dict[str, Any]:
    return {"v": 1}


graph = pelmo.Graph()
graph.add(load, "Load", outputs={"v": "data"})
dag = graph.build()
tasks: Dict[Hashable, Any]
key: str
tasks, key = pelmo.dask.to_dask(dag, inputs={"x": 1}, outputs=["data"], on_error="print")
result: Dict[str, Any] = pelmo.dask.execute(dag)


def on_cluster(client: Client) -> Dict[str, Any]:
    return pelmo.dask.execute(dag, client, inputs={"x": 1}, outputs=("data",), on_error="raise")
