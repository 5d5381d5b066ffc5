"""A sweep spread over a dask.distributed cluster: one whole pelmo run per
parameter set.

A Dag holds live Python callables and cannot be pickled, so what travels to
the workers is a builder function and a parameter; each task builds its Dag
on the worker, executes it and sends back the result. `Client.map` submits
the runs, `Client.gather` collects them, and the best one wins.

    python examples/cluster_sweep.py --scheduler tcp://127.0.0.1:8786
    python examples/cluster_sweep.py          # starts its own LocalCluster

The runs fit a damped oscillator x(t) = exp(-d t) cos(w t) to noisy samples
by a grid search over (d, w): each run scores one pair.
"""

# pelmo's classes report the module "builtins", where pickle cannot find
# them; functions that dask ships by value carry their annotations along, so
# annotations stay strings here.
from __future__ import annotations

import argparse
import math
import os
import random
import time
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, cast

import pelmo

if TYPE_CHECKING:
    from dask.distributed import Client, LocalCluster

# What a node receives and what it returns.
Values = Dict[str, Any]
Params = Tuple[float, float]

TRUE_PARAMS: Params = (0.3, 2.0)
SAMPLES = 2_000
SEED = 11


def grid(dampings: int = 10, frequencies: int = 20) -> List[Params]:
    """(damping, frequency) pairs around the true ones, 200 by default."""
    return [(0.05 + 0.05 * i, 1.0 + 0.1 * j) for i in range(dampings) for j in range(frequencies)]


def measurements(inputs: Values) -> Values:
    # Seeded, so every worker draws the very same data.
    rng = random.Random(SEED)
    damping, frequency = TRUE_PARAMS
    times = [i * 0.005 for i in range(SAMPLES)]
    values = [math.exp(-damping * t) * math.cos(frequency * t) + rng.gauss(0, 0.05) for t in times]
    return {"t": times, "x": values}


def simulate(inputs: Values) -> Values:
    damping, frequency = inputs["params"]
    return {"model": [math.exp(-damping * t) * math.cos(frequency * t) for t in inputs["t"]]}


def score(inputs: Values) -> Values:
    residuals = [m - x for m, x in zip(inputs["model"], inputs["x"])]
    return {"sse": sum(r * r for r in residuals)}


def build_graph(params: Params) -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(lambda _: {"params": params}, "Parameters", outputs={"params": "params"})
    graph.add(measurements, "Measurements", outputs={"t": "t", "x": "x"})
    graph.add(simulate, "Simulate", inputs={"params": "params", "t": "t"}, outputs={"model": "model"})
    graph.add(score, "Score", inputs={"model": "model", "x": "x"}, outputs={"sse": "sse"})
    return graph.build()


def run_one(params: Params) -> Values:
    """One task: build the Dag here, on the worker, and run it. Only the
    parameters go out and only small results come back."""
    context = build_graph(params).execute()
    return {"params": params, "sse": context["sse"]}


def sweep(client: "Client", parameter_sets: Sequence[Params], timeout: Optional[float] = None) -> List[Values]:
    """The results of run_one for each parameter set, in their order."""
    from dask.distributed import wait

    # pure=False: a rerun must execute again, not reuse results the cluster
    # still holds under the same key.
    futures = client.map(run_one, parameter_sets, pure=False)
    wait(futures, timeout=timeout)
    # gather's declared type covers its asynchronous use too.
    return cast(List[Values], client.gather(futures))


def best(results: Sequence[Values]) -> Values:
    return min(results, key=lambda result: result["sse"])


def local_cluster(workers: int = 2) -> "LocalCluster":
    from dask.distributed import LocalCluster

    # Loopback only, no dashboard. Worker processes, because pure-Python
    # runs hold the GIL: threads of one process would take turns. (A dict
    # typed Any, because distributed annotates dashboard_address as str
    # although None is how it is switched off.)
    options: Dict[str, Any] = dict(
        host="127.0.0.1", scheduler_port=0, n_workers=workers, threads_per_worker=1,
        processes=True, dashboard_address=None,
    )
    return LocalCluster(**options)


def main(argv: Optional[Sequence[str]] = None) -> None:
    from dask.distributed import Client

    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--scheduler", default=os.environ.get("PELMO_DASK_SCHEDULER"),
                        help="address of a running scheduler (default: a LocalCluster on 127.0.0.1)")
    parser.add_argument("--frequencies", type=int, default=20, help="grid points per damping (10 dampings)")
    args = parser.parse_args(argv)
    parameter_sets = grid(frequencies=args.frequencies)

    cluster = None if args.scheduler else local_cluster()
    try:
        with Client(args.scheduler or cluster) as client:
            start = time.perf_counter()
            results = sweep(client, parameter_sets)
            on_cluster = time.perf_counter() - start
    finally:
        if cluster is not None:
            cluster.close()
    start = time.perf_counter()
    for params in parameter_sets:
        run_one(params)
    sequential = time.perf_counter() - start

    winner = best(results)
    damping, frequency = winner["params"]
    print(f"{len(results)} runs: cluster {on_cluster:.2f} s, sequential loop {sequential:.2f} s")
    print(f"best: damping={damping:.2f} frequency={frequency:.2f} (sse {winner['sse']:.4f})")


if __name__ == "__main__":
    main()
