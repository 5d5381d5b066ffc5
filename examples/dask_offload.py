"""Offloading heavy nodes to a dask.distributed cluster.

Each shard of the work is a pelmo variant whose callable submits one task to
the cluster and waits for its result. Waiting on a future releases the GIL,
so a parallel level keeps one cluster task in flight per worker thread of
pelmo instead of feeding the cluster one task at a time.

    python examples/dask_offload.py --scheduler tcp://127.0.0.1:8786
    PELMO_DASK_SCHEDULER=tcp://127.0.0.1:8786 python examples/dask_offload.py
    python examples/dask_offload.py          # starts its own LocalCluster

The example counts the primes below LIMIT, one range of numbers per shard.
"""

import argparse
import json
import math
import os
import time
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple

import pelmo

if TYPE_CHECKING:
    from dask.distributed import Client, LocalCluster

# What a node receives and what it returns.
Values = Dict[str, Any]

LIMIT = 200_000
SHARDS = 4
# Stands in for the shard's input arriving from storage; it is what makes the
# offload worth doing concurrently, and it keeps each task long enough for
# its lifetime to be visible in the recorded intervals.
FETCH_SECONDS = 0.5


def count_primes(lo: int, hi: int, fetch_seconds: float = FETCH_SECONDS) -> Values:
    """Runs on the cluster: the number of primes in [lo, hi), with the
    task's own start and end times (wall clock, seconds since the epoch) and
    the worker that ran it."""
    from dask.distributed import get_worker

    start = time.time()
    time.sleep(fetch_seconds)
    # Segmented sieve: mark multiples of every prime up to sqrt(hi) inside
    # [lo, hi) only, so a shard costs its own width and not hi.
    root = math.isqrt(hi - 1) if hi > 1 else 0
    small = bytearray([1]) * (root + 1)
    small[:2] = b"\x00" * min(2, root + 1)
    for p in range(2, math.isqrt(root) + 1):
        if small[p]:
            small[p * p :: p] = bytes(len(range(p * p, root + 1, p)))
    segment = bytearray([1]) * (hi - lo)
    for p in (p for p in range(2, root + 1) if small[p]):
        first = max(p * p, (lo + p - 1) // p * p)
        segment[first - lo :: p] = bytes(len(range(first, hi, p)))
    for n in range(lo, min(hi, 2)):
        segment[n - lo] = 0
    return {"lo": lo, "hi": hi, "count": sum(segment), "start": start, "end": time.time(),
            "worker": get_worker().address}


def shard_bounds(limit: int = LIMIT, shards: int = SHARDS) -> List[Tuple[int, int]]:
    edges = [limit * i // shards for i in range(shards + 1)]
    return list(zip(edges, edges[1:]))


def offload(client: "Client", index: int, fetch_seconds: float) -> Callable[[Values], Values]:
    def node(inputs: Values) -> Values:
        lo, hi = inputs["bounds"][index]
        # pure=False: a rerun must execute again rather than reuse a result
        # the cluster still holds, or the recorded times would be stale.
        future = client.submit(count_primes, lo, hi, fetch_seconds, pure=False)
        return {f"shard{index}": future.result()}

    return node


def build_graph(client: "Client", limit: int = LIMIT, shards: int = SHARDS,
                fetch_seconds: float = FETCH_SECONDS) -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(lambda _inputs: {"bounds": shard_bounds(limit, shards)}, "Split", outputs={"bounds": "bounds"})
    graph.variants(
        [offload(client, i, fetch_seconds) for i in range(shards)],
        "Count primes",
        inputs={"bounds": "bounds"},
        outputs={f"shard{i}": f"shard_{i}" for i in range(shards)},
    )
    return graph.build()


def run(client: "Client", limit: int = LIMIT, shards: int = SHARDS, fetch_seconds: float = FETCH_SECONDS,
        max_threads: Optional[int] = None) -> Values:
    """Runs the DAG in parallel mode against `client` and returns the context
    with `total` (primes below `limit`) and `tasks` (one record per cluster
    task: its range, count, start and end) added."""
    dag = build_graph(client, limit, shards, fetch_seconds)
    context = dag.execute(parallel=True, max_threads=max_threads or shards)
    tasks = [context[f"shard_{i}"] for i in range(shards)]
    context["tasks"] = tasks
    context["total"] = sum(task["count"] for task in tasks)
    return context


def local_cluster() -> "LocalCluster":
    from dask.distributed import LocalCluster

    # Loopback only, no dashboard: the example must not open anything to the
    # network it was not asked to. A threaded cluster defaults to the inproc
    # transport, which rejects a host, hence tcp spelled out.
    # (A dict typed Any, because distributed annotates dashboard_address as
    # str although None is how it is switched off.)
    options: Dict[str, Any] = dict(
        protocol="tcp", host="127.0.0.1", scheduler_port=0, processes=False,
        n_workers=1, threads_per_worker=SHARDS, dashboard_address=None,
    )
    return LocalCluster(**options)


def main(argv: Optional[Sequence[str]] = None) -> None:
    from dask.distributed import Client

    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--scheduler", default=os.environ.get("PELMO_DASK_SCHEDULER"),
                        help="address of a running scheduler (default: $PELMO_DASK_SCHEDULER, "
                             "else a LocalCluster on 127.0.0.1)")
    parser.add_argument("--json", action="store_true", help="print the result as one JSON object")
    args = parser.parse_args(argv)

    cluster = None if args.scheduler else local_cluster()
    try:
        with Client(args.scheduler or cluster) as client:
            context = run(client)
    finally:
        if cluster is not None:
            cluster.close()

    if args.json:
        print(json.dumps({"total": context["total"], "tasks": context["tasks"]}))
        return
    origin = min(task["start"] for task in context["tasks"])
    for task in context["tasks"]:
        print(f"[{task['lo']:>7}, {task['hi']:>7}) {task['count']:>6} primes  "
              f"ran {task['start'] - origin:6.3f}s .. {task['end'] - origin:6.3f}s")
    print(f"primes below {LIMIT}: {context['total']}")


if __name__ == "__main__":
    main()
