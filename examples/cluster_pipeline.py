"""A sensor pipeline whose nodes run as tasks on a dask.distributed cluster.

pelmo.dask turns the Dag into a dask task graph: each node is a task, the
readings it makes stay on the worker that made them, the next node's task
goes where they are, and only the small report comes back.

    python examples/cluster_pipeline.py --scheduler tcp://127.0.0.1:8786
    python examples/cluster_pipeline.py          # starts its own LocalCluster

A week of temperature readings is simulated (seeded, so every run makes the
same ones), including sensor dropouts (NaN) and the -999 a faulty sensor
reports; Clean drops both; Profile and Spread analyse what is left, and
Report puts their results into words.
"""

# Functions that dask ships by value carry their annotations along, so
# annotations stay strings here.
from __future__ import annotations

import argparse
import os
import time
from typing import TYPE_CHECKING, Any, Dict, Optional, Sequence

import numpy as np

import pelmo
import pelmo.dask

if TYPE_CHECKING:
    from dask.distributed import Client, LocalCluster

# What a node receives and what it returns.
Values = Dict[str, Any]

READINGS = 4_000_000  # two arrays of float64: 64 MB
DAYS = 7
# The daily cycle peaks in the middle of the warmest hour, so that one hour
# of the day is the warmest and the one twelve hours away the coolest.
MEAN_CELSIUS, SWING_CELSIUS, WARMEST_HOUR = 18.0, 6.0, 15
DROPOUTS = FAULTS = 1_000
QUANTILES = (1, 50, 99)


def simulate(inputs: Values) -> Values:
    count, seed = inputs["readings"], inputs["seed"]
    rng = np.random.default_rng(seed)
    hours = np.sort(rng.uniform(0.0, 24.0 * DAYS, count))
    celsius = (MEAN_CELSIUS + SWING_CELSIUS * np.cos(2 * np.pi * (hours - WARMEST_HOUR - 0.5) / 24)
               + rng.normal(0.0, 1.5, count))
    # Distinct positions, so exactly this many readings are broken.
    broken = rng.choice(count, DROPOUTS + FAULTS, replace=False)
    celsius[broken[:DROPOUTS]] = np.nan
    celsius[broken[DROPOUTS:]] = -999.0
    return {"hours": hours, "celsius": celsius}


def clean(inputs: Values) -> Values:
    celsius = inputs["celsius"]
    keep = np.isfinite(celsius) & (celsius > -100.0)
    return {"hours": inputs["hours"][keep], "celsius": celsius[keep], "dropped": int((~keep).sum())}


def profile(inputs: Values) -> Values:
    """The mean temperature of each hour of the day."""
    hour = (inputs["hours"] % 24).astype(np.int64)
    sums = np.bincount(hour, weights=inputs["celsius"], minlength=24)
    counts = np.bincount(hour, minlength=24)
    return {"means": [round(float(m), 3) for m in sums / counts]}


def spread(inputs: Values) -> Values:
    values = np.percentile(inputs["celsius"], QUANTILES)
    return {"quantiles": {q: round(float(v), 3) for q, v in zip(QUANTILES, values)}}


def report(inputs: Values) -> Values:
    means = inputs["means"]
    warmest = max(range(24), key=lambda hour: means[hour])
    coolest = min(range(24), key=lambda hour: means[hour])
    low, median, high = (inputs["quantiles"][q] for q in QUANTILES)
    return {"text": "\n".join([
        f"{inputs['kept']:,} readings kept, {inputs['dropped']:,} dropped",
        f"warmest hour {warmest:02d}:00 ({means[warmest]:.1f} °C), coolest {coolest:02d}:00 ({means[coolest]:.1f} °C)",
        f"1% / 50% / 99% of readings below {low:.1f} / {median:.1f} / {high:.1f} °C",
    ])}


def count(inputs: Values) -> Values:
    return {"n": len(inputs["celsius"])}


def build_graph() -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(simulate, "Simulate", inputs={"readings": "readings", "seed": "seed"},
              outputs={"hours": "raw hours", "celsius": "raw celsius"})
    graph.add(clean, "Clean", inputs={"raw hours": "hours", "raw celsius": "celsius"},
              outputs={"hours": "hours", "celsius": "celsius", "dropped": "dropped"})
    # One after another in a local run; on a cluster both tasks need only
    # Clean's arrays, so they may run at once.
    graph.add(profile, "Profile", inputs={"hours": "hours", "celsius": "celsius"}, outputs={"means": "profile"})
    graph.add(spread, "Spread", inputs={"celsius": "celsius"}, outputs={"quantiles": "quantiles"})
    graph.add(count, "Count", inputs={"celsius": "celsius"}, outputs={"n": "kept"})
    graph.add(report, "Report",
              inputs={"kept": "kept", "dropped": "dropped", "profile": "means", "quantiles": "quantiles"},
              outputs={"text": "report"})
    return graph.build()


# Only these come back to the caller: the arrays stay on the workers.
OUTPUTS = ["report", "dropped", "kept", "profile", "quantiles"]


def run(client: Optional["Client"], readings: int = READINGS, seed: int = 1) -> Values:
    """The pipeline's small results, computed on `client`'s cluster (on
    dask's current scheduler when it is None)."""
    return pelmo.dask.execute(build_graph(), client, inputs={"readings": readings, "seed": seed},
                              outputs=OUTPUTS)


def local_cluster(workers: int = 2) -> "LocalCluster":
    from dask.distributed import LocalCluster

    # Loopback only, no dashboard; worker processes, each with a GIL of its
    # own. (A dict typed Any, because distributed annotates
    # dashboard_address as str although None is how it is switched off.)
    options: Dict[str, Any] = dict(
        host="127.0.0.1", scheduler_port=0, n_workers=workers, threads_per_worker=1,
        processes=True, dashboard_address=None,
    )
    return LocalCluster(**options)


def main(argv: Optional[Sequence[str]] = None) -> None:
    from dask.distributed import Client

    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--scheduler", default=os.environ.get("PELMO_DASK_SCHEDULER"),
                        help="address of a running scheduler (default: $PELMO_DASK_SCHEDULER, "
                             "else a LocalCluster on 127.0.0.1)")
    parser.add_argument("--readings", type=int, default=READINGS)
    args = parser.parse_args(argv)

    cluster = None if args.scheduler else local_cluster()
    try:
        with Client(args.scheduler or cluster) as client:
            start = time.perf_counter()
            result = run(client, args.readings)
            seconds = time.perf_counter() - start
    finally:
        if cluster is not None:
            cluster.close()
    print(result["report"])
    print(f"on the cluster in {seconds:.2f} s")


if __name__ == "__main__":
    main()
