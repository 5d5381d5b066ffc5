"""Compares pelmo with the obvious alternatives for running DAGs of Python callables.

Scenarios:
  chain   a long chain of trivial callables: what each engine costs per node;
          then chains whose callables do about 1 µs and 10 µs of Python work:
          what share of the run is the engine's
  wide    levels of independent GIL-releasing nodes: how close parallel runs get
          to the best a given concurrency allows
  sweep   a parameter sweep made with variants
  threads how the worker team uses its threads: a level of uneven sleeps
          against a thread pool and the greedy bound, tiny nodes in parallel
          against a pool's cost per call, and how much another Python thread
          gets done beside a long sequential run
  outputs one node returning 100,000 results, all of them mapped
  native  the C++ core's own benchmark binary, per node
  memory  resident memory per node of a large DAG built from Python
  cluster pelmo.dask on a LocalCluster of two worker processes: an 80 MB
          array passed between nodes, against the offload way of
          examples/dask_offload.py and dask.delayed, with the bytes that
          reached the client; and the cost per node of many small nodes,
          against dask.delayed building the same graph

Writes results/results.md, results/results.json and results/time_per_node.png
next to this file. `--quick` runs small sizes with 3 repeats, for trying the
script out on a busy machine.
"""

from __future__ import annotations

import os

# BLAS must not start its own thread pool: the wide scenario measures how an
# engine spreads single-threaded products over threads, and a BLAS pool inside
# each product would oversubscribe the cores and blur that. The variables are
# read when NumPy loads its BLAS, so they are set before anything imports it.
os.environ["OPENBLAS_NUM_THREADS"] = "1"
os.environ["OMP_NUM_THREADS"] = "1"

import argparse
import gc
import graphlib
import importlib.metadata
import json
import math
import platform
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass, field
from functools import partial
from pathlib import Path
from typing import Any, Callable, Iterable, Mapping, Sequence

import dask
import dask.local
import dask.threaded
import numpy as np

import pelmo
from chains import (
    PlainNode, build_pelmo_chain, expected_context, fresh_names, make_increments, plain_nodes,
    run_node, run_node_loop, run_tight_loop, shared_names,
)

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
DEFAULT_NATIVE_BIN = REPO / "build" / "native" / "benchmarks" / "pelmo_core_bench"

# One repeat of an engine at one size may take at most this long; a size whose
# predicted repeat is longer is skipped and noted, so a full run stays bounded.
MIN_SAMPLE_SECONDS = 0.05
MAX_REPEAT_SECONDS = 60.0

SLEEP_SECONDS = 0.005
# Node work of the working chains, in seconds of pure Python, at this size.
WORK_SECONDS = (1e-6, 1e-5)
WORK_CHAIN_SIZE = 10_000
WIDE_WIDTH = 64
MATRIX_SIZE = 200

NodeFunction = Callable[[dict], dict]
Pairs = Sequence[tuple[str, str]]

# The sweep's mapping: each variant path reads and writes "v". Tuples, so no
# run can change them; pelmo is handed lists made from them.
SWEEP_INPUTS: Pairs = (("v", "x"),)
SWEEP_OUTPUTS: Pairs = (("y", "v"),)


@dataclass(frozen=True)
class Settings:
    quick: bool
    repeats: int
    chain_sizes: tuple[int, ...]
    wide_levels: int
    sweep_variants: int
    sweep_steps: int
    memory_nodes: int
    cluster_chain: int
    cluster_fan: int
    native_filter: str | None
    native_bin: Path
    out_dir: Path
    scenarios: frozenset[str]


@dataclass
class Measurement:
    scenario: str
    engine: str
    size: int
    seconds: list[float] = field(default_factory=list)
    note: str = ""

    @property
    def median(self) -> float:
        return statistics.median(self.seconds) if self.seconds else math.nan


# ---------------------------------------------------------------- timing


def warm_up(run: Callable[[], object]) -> int:
    """Runs once untimed, which warms caches and allocators, and returns how
    many runs a sample takes: a run shorter than MIN_SAMPLE_SECONDS is
    repeated within each sample, since this VM's timing of a half-millisecond
    run swings by 2x."""
    start = time.perf_counter()
    run()
    first = time.perf_counter() - start
    return max(1, math.ceil(MIN_SAMPLE_SECONDS / max(first, 1e-9)))


def time_sample(run: Callable[[], object], runs: int) -> float:
    """Seconds per run over `runs` back-to-back runs. Garbage is collected
    first, so no sample pays for its predecessor."""
    gc.collect()
    start = time.perf_counter()
    for _ in range(runs):
        run()
    return (time.perf_counter() - start) / runs


def time_repeats(run: Callable[[], object], repeats: int) -> list[float]:
    """Seconds per run, `repeats` samples of it, after a warm-up."""
    runs = warm_up(run)
    return [time_sample(run, runs) for _ in range(repeats)]


def format_seconds(value: float) -> str:
    return "–" if math.isnan(value) else f"{value:.3f}"


def format_us(value: float) -> str:
    return "–" if math.isnan(value) else f"{value:.2f}"


# ---------------------------------------------------------------- callables


def increment(d: dict) -> dict:
    return {"y": d.get("x", 0) + 1}


def make_workers(count: int, iterations: int) -> list[NodeFunction]:
    """The increments of make_increments, each after a busy loop of pure
    Python: work that holds the GIL, as most callables' work does."""

    def make_one() -> NodeFunction:
        def work(d: dict) -> dict:
            for _ in range(iterations):
                pass
            return {"y": d.get("x", 0) + 1}

        return work

    return [make_one() for _ in range(count)]


def seconds_per_call(function: NodeFunction, about_seconds: float, repeats: int = 5) -> float:
    """The mean time of one call in the fastest of `repeats` samples of
    about 20 ms each: the least disturbed by load from elsewhere, which a
    calibration wants. `about_seconds` is what one call is expected to take."""
    calls = max(100, int(0.02 / about_seconds))
    return min(time_sample(lambda: function({"x": 1}), calls) for _ in range(repeats))


def calibrate_iterations(target_seconds: float) -> int:
    """Busy-loop iterations that make one working callable take about
    `target_seconds` on this machine, the call itself included."""
    iterations = 100
    for _ in range(3):
        [function] = make_workers(1, iterations)
        measured = seconds_per_call(function, target_seconds)
        iterations = max(1, round(iterations * target_seconds / measured))
    return iterations


def noop(_: dict) -> dict:
    return {}


def sleep_node(_: dict) -> dict:
    time.sleep(SLEEP_SECONDS)
    return {}


def make_matmul_node() -> NodeFunction:
    rng = np.random.default_rng(0)
    a = rng.standard_normal((MATRIX_SIZE, MATRIX_SIZE))
    b = rng.standard_normal((MATRIX_SIZE, MATRIX_SIZE))

    def matmul_node(_: dict) -> dict:
        a @ b
        return {}

    return matmul_node


# ---------------------------------------------------------------- engines: Python floors


def chain_predecessors(count: int) -> dict[int, tuple[int, ...]]:
    return {i: ((i - 1,) if i else ()) for i in range(count)}


def run_graphlib(nodes: Sequence[PlainNode], predecessors: Mapping[int, Iterable[int]]) -> dict:
    # A sorter is single-use, so making it is part of every run.
    sorter = graphlib.TopologicalSorter(predecessors)
    sorter.prepare()
    context: dict = {}
    while sorter.is_active():
        for index in sorter.get_ready():
            run_node(nodes[index], context)
            sorter.done(index)
    return context


# ---------------------------------------------------------------- engines: pelmo


def build_pelmo_wide(work: NodeFunction, levels: int) -> pelmo.Dag:
    """A no-op root, then `levels` levels of WIDE_WIDTH nodes: the variants
    make the first level, each later add repeats once per variant path."""
    graph = pelmo.Graph()
    graph.add(noop, "root")
    graph.variants([work] * WIDE_WIDTH, "work")
    for _ in range(levels - 1):
        graph.add(work, "work")
    return graph.build()


def build_pelmo_sweep(variants: int, steps: int) -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.variants(make_increments(variants), "sweep", inputs=list(SWEEP_INPUTS), outputs=list(SWEEP_OUTPUTS))
    for _ in range(steps):
        graph.add(increment, "step", inputs=list(SWEEP_INPUTS), outputs=list(SWEEP_OUTPUTS))
    return graph.build()


# ---------------------------------------------------------------- engines: dask


def dask_root(function: NodeFunction) -> Any:
    return function({}).get("y")


def dask_step(function: NodeFunction, x: Any) -> Any:
    # The same mapping as the other engines: the previous value arrives as
    # the context entry "v" seen as "x", and "y" is what goes on.
    return function({"x": x}).get("y")


def dask_chain_graph(functions: Sequence[NodeFunction]) -> tuple[dict, str]:
    graph: dict = {"n0": (dask_root, functions[0])}
    for i in range(1, len(functions)):
        graph[f"n{i}"] = (dask_step, functions[i], f"n{i - 1}")
    return graph, f"n{len(functions) - 1}"


def dask_wide_call(function: NodeFunction, _previous: Any) -> None:
    function({})


def dask_wide_graph(work: NodeFunction, levels: int) -> tuple[dict, list[str]]:
    graph: dict = {"root": (noop, {})}
    previous = ["root"] * WIDE_WIDTH
    for level in range(levels):
        current = [f"w{level}-{j}" for j in range(WIDE_WIDTH)]
        for key, before in zip(current, previous):
            graph[key] = (dask_wide_call, work, before)
        previous = current
    return graph, previous


# ---------------------------------------------------------------- engines: thread pool


def run_thread_pool_levels(work: NodeFunction, levels: int, workers: int) -> None:
    with ThreadPoolExecutor(max_workers=workers) as pool:
        for _ in range(levels):
            futures = [pool.submit(work, {}) for _ in range(WIDE_WIDTH)]
            for future in futures:
                future.result()


# ---------------------------------------------------------------- scenario: chain


def predicted_too_long(previous: Measurement | None, size: int) -> float | None:
    """Predicted seconds of one repeat at `size`, if that is over the limit."""
    if previous is None or not previous.seconds:
        return None
    predicted = previous.median / previous.size * size
    return predicted if predicted > MAX_REPEAT_SECONDS else None


FLOOR = "Python loop, tight (the floor)"
RUN_NODE_LOOP = "Python loop with a run_node call per node"


def measure_engines(scenario: str, size: int, engines: Mapping[str, Callable[[], object]], repeats: int,
                    last_by_engine: dict[str, Measurement]) -> list[Measurement]:
    """Times each engine at `size`, skipping one whose repeat the size before
    predicts over the limit. The engines' samples take turns, so a spell of
    load from elsewhere on the machine falls on all of them alike and the
    ratios within the run stay fair."""
    results = [Measurement(scenario, engine, size) for engine in engines]
    timed: list[tuple[Measurement, Callable[[], object], int]] = []
    for measurement, run in zip(results, engines.values()):
        predicted = predicted_too_long(last_by_engine.get(measurement.engine), size)
        if predicted is not None:
            measurement.note = f"skipped: one repeat predicted at {predicted:.0f} s"
        else:
            timed.append((measurement, run, warm_up(run)))
            last_by_engine[measurement.engine] = measurement
    for _ in range(repeats):
        for measurement, run, runs in timed:
            measurement.seconds.append(time_sample(run, runs))
    for measurement in results:
        progress(measurement)
    return results


def chain_scenario(settings: Settings) -> tuple[list[Measurement], list[Measurement]]:
    """Returns the execution measurements and pelmo's build measurements."""
    results: list[Measurement] = []
    builds: list[Measurement] = []
    last_by_engine: dict[str, Measurement] = {}
    for size in settings.chain_sizes:
        edges = fresh_names(make_increments(size))
        functions = [f for f, _, _ in edges]
        nodes = plain_nodes(edges)
        predecessors = chain_predecessors(size)
        graph, last_key = dask_chain_graph(functions)

        build = Measurement("chain", "pelmo build()", size)
        build.seconds = time_repeats(lambda: build_pelmo_chain(edges), settings.repeats)
        builds.append(build)
        dag = build_pelmo_chain(edges)
        context = expected_context(edges)
        # Each engine with the result it must give.
        engines: dict[str, tuple[Callable[[], object], object]] = {
            "pelmo sequential": (lambda: dag.execute(), context),
            "pelmo parallel": (lambda: dag.execute(parallel=True), context),
            FLOOR: (lambda: run_tight_loop(edges), context),
            RUN_NODE_LOOP: (lambda: run_node_loop(nodes), context),
            "graphlib loop (run_node per node)": (lambda: run_graphlib(nodes, predecessors), context),
            "dask.get (sync)": (lambda: dask.local.get_sync(graph, last_key), size),
            "dask.threaded.get": (lambda: dask.threaded.get(graph, last_key), size),
        }
        if size == settings.chain_sizes[0]:
            # Once, at the smallest size: every engine computes the same thing,
            # and the run doubles as a warm-up of imports and caches.
            for engine, (run, expected) in engines.items():
                check(run() == expected, f"{engine} chain result")
        runs = {engine: run for engine, (run, _) in engines.items()}
        results += measure_engines("chain", size, runs, settings.repeats, last_by_engine)
        del dag, graph, nodes, edges, functions, context
    return results, builds


PAIR_SIZE = 10_000
PAIR_SAMPLES = 25


def pair_scenario(settings: Settings) -> list[Measurement]:
    """pelmo's sequential run and the floor alone, by turns, many times: the
    chain table's samples follow dask's threads and the other engines, whose
    traces in the caches fall on whichever engine comes next."""
    edges = fresh_names(make_increments(PAIR_SIZE))
    dag = build_pelmo_chain(edges)
    engines = {"pelmo sequential": dag.execute, FLOOR: lambda: run_tight_loop(edges)}
    return measure_engines("chain pair", PAIR_SIZE, engines, 5 if settings.quick else PAIR_SAMPLES, {})


def pair_table(results: Sequence[Measurement]) -> str:
    pelmo_times, floor_times = results[0].seconds, results[1].seconds
    ratios = sorted(p / f for p, f in zip(pelmo_times, floor_times))
    return (f"The same chain at N = {PAIR_SIZE:,}, pelmo's sequential run and the floor alone, by turns, "
            f"{len(ratios)} samples each: {results[0].median / results[0].size * 1e6:.3f} µs per node against "
            f"{results[1].median / results[1].size * 1e6:.3f}, a ratio of medians of "
            f"{results[0].median / results[1].median:.2f}; sample by sample the ratio's quartiles are "
            f"{ratios[len(ratios) // 4]:.2f} and {ratios[3 * len(ratios) // 4]:.2f}.")


def work_chain_scenario(settings: Settings) -> tuple[list[Measurement], dict[str, dict]]:
    """Chains of WORK_CHAIN_SIZE callables doing about 1 µs and 10 µs of pure
    Python each. Returns the measurements and each work's calibration."""
    results: list[Measurement] = []
    calibration: dict[str, dict] = {}
    size = WORK_CHAIN_SIZE
    for target in WORK_SECONDS:
        iterations = calibrate_iterations(target)
        edges = fresh_names(make_workers(size, iterations))
        work = f"{target * 1e6:.0f} µs"
        calibration[work] = {
            "target_seconds": target,
            "iterations": iterations,
            "seconds_per_call": seconds_per_call(edges[0][0], target),
        }
        print(f"  work {work}: {iterations} iterations, "
              f"{calibration[work]['seconds_per_call'] * 1e6:.2f} µs per call", flush=True)
        dag = build_pelmo_chain(edges)
        nodes = plain_nodes(edges)
        context = expected_context(edges)
        engines: dict[str, Callable[[], object]] = {
            "pelmo sequential": lambda: dag.execute(),
            FLOOR: lambda: run_tight_loop(edges),
            RUN_NODE_LOOP: lambda: run_node_loop(nodes),
        }
        for engine, run in engines.items():
            check(run() == context, f"{engine} working chain result")
        results += measure_engines(f"chain, {work} of work", size, engines, settings.repeats, {})
        del dag, nodes, edges
    return results, calibration


def ratio_table(results: Sequence[Measurement]) -> str:
    """Each engine's median over the floor's median at the same size, both
    from this run."""
    sizes = sorted({m.size for m in results})
    floors = {m.size: m.median for m in results if m.engine == FLOOR}
    header = "| engine | " + " | ".join(f"N = {n:,}" for n in sizes) + " |"
    lines = [header, "|---|" + "---:|" * len(sizes)]
    for engine in dict.fromkeys(m.engine for m in results):
        cells = []
        for n in sizes:
            m = next((m for m in results if m.engine == engine and m.size == n), None)
            cells.append("–" if m is None or not m.seconds else f"{m.median / floors[n]:.2f}")
        lines.append(f"| {engine} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def work_chain_table(results: Sequence[Measurement], calibration: Mapping[str, dict]) -> str:
    lines = [
        f"A chain of {WORK_CHAIN_SIZE:,} nodes, named as above, whose callables first run a busy loop "
        "of pure Python calibrated to the work asked. Overhead share = (engine time - floor time) / "
        "engine time, with medians of this run.",
        "",
        "| work per node | one call alone (µs, fastest of 5) | engine | µs per node | ratio to floor | overhead share |",
        "|---|---:|---|---:|---:|---:|",
    ]
    for work, cal in calibration.items():
        rows = [m for m in results if m.scenario.endswith(f"{work} of work")]
        floor = next(m.median for m in rows if m.engine == FLOOR)
        for m in rows:
            lines.append(
                f"| {work} | {cal['seconds_per_call'] * 1e6:.2f} | {m.engine} | "
                f"{format_us(m.median / m.size * 1e6)} | {m.median / floor:.3f} | "
                f"{(m.median - floor) / m.median:+.1%} |"
            )
    return "\n".join(lines)


def per_node_table(results: Sequence[Measurement]) -> str:
    """One row per engine, one column per size, in µs per node."""
    sizes = sorted({m.size for m in results})
    engines = list(dict.fromkeys(m.engine for m in results))
    by_key = {(m.engine, m.size): m for m in results}
    header = "| engine | " + " | ".join(f"N = {n:,}" for n in sizes) + " |"
    lines = [header, "|---|" + "---:|" * len(sizes)]
    notes: list[str] = []
    for engine in engines:
        cells = []
        for n in sizes:
            m = by_key.get((engine, n))
            if m is None or not m.seconds:
                cells.append("skipped" if m and m.note else "–")
                if m and m.note:
                    notes.append(f"{engine} at N = {n:,}: {m.note}.")
            else:
                cells.append(format_us(m.median / n * 1e6))
        lines.append(f"| {engine} | " + " | ".join(cells) + " |")
    text = "\n".join(lines)
    if notes:
        text += "\n\n" + "\n".join(f"- {note}" for note in notes)
    return text


def chain_intro(settings: Settings) -> str:
    return (
        "Each node is `lambda d: {\"y\": d.get(\"x\", 0) + 1}`, one function object per node; node i "
        "reads `v{i-1}` as `x` and writes its `y` as `v{i}` (the first reads nothing), so the context "
        "ends with N names. Only the run is timed: the pelmo Dag, the dask graph, the loops' edge "
        "and node lists and the graphlib predecessor map are made beforehand (a graphlib sorter is "
        "single-use, so making it from that map is timed). The floor is the tight loop a user would "
        "write: `for f, src, dst in edges: inputs = {\"x\": ctx[src]} if src in ctx else {}; "
        "out = f(inputs); ctx[dst] = out[\"y\"]`. The run_node loop calls a general helper per "
        "node that gathers the mapped inputs with a dict comprehension and writes the mapped outputs "
        f"back. A size whose single repeat is predicted over {MAX_REPEAT_SECONDS:.0f} s from the "
        "size before is skipped.\n\n"
    )


def plot_chain(results: Sequence[Measurement], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for engine in dict.fromkeys(m.engine for m in results):
        points = [(m.size, m.median / m.size * 1e6) for m in results if m.engine == engine and m.seconds]
        if points:
            xs, ys = zip(*points)
            ax.plot(xs, ys, marker="o", label=engine)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("nodes in the chain (N)")
    ax.set_ylabel("time per node (µs, median)")
    ax.set_title("Chain of trivial callables: time per node")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


# ---------------------------------------------------------------- scenario: wide


@dataclass(frozen=True)
class WideRow:
    work: str
    engine: str
    concurrency: int
    seconds: float  # the median of `repeats`
    floor: float
    cpu_floor: float
    node_seconds: float
    repeats: list[float] = field(default_factory=list)


def call_seconds(function: NodeFunction, calls: int) -> list[float]:
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        function({})
        times.append(time.perf_counter() - start)
    return times


def level_floor(levels: int, concurrency: int, node_seconds: float) -> float:
    """Best possible time: each level runs in ceil(width / concurrency)
    rounds, each as long as one node."""
    return levels * math.ceil(WIDE_WIDTH / concurrency) * node_seconds


def wide_scenario(settings: Settings) -> tuple[list[WideRow], dict[str, list[float]]]:
    """The rows, and the 50 timed calls of each measured node alone."""
    levels = settings.wide_levels
    cores = available_cores()
    matmul = make_matmul_node()
    matmul({})  # loads BLAS kernels before anything is timed
    matmul_name = f"matmul {MATRIX_SIZE}x{MATRIX_SIZE}"
    node_samples = {matmul_name: call_seconds(matmul, 50)}
    works: dict[str, tuple[NodeFunction, float, bool]] = {
        "sleep 5 ms": (sleep_node, SLEEP_SECONDS, False),
        matmul_name: (matmul, statistics.median(node_samples[matmul_name]), True),
    }
    rows: list[WideRow] = []
    for work_name, (work, node_seconds, cpu_bound) in works.items():
        dag = build_pelmo_wide(work, levels)
        check(dag.node_count() == 1 + WIDE_WIDTH * levels, "wide node count")
        graph, last_keys = dask_wide_graph(work, levels)
        engines: list[tuple[str, int, Callable[[], object]]] = []
        for concurrency in (WIDE_WIDTH, 8):
            # None is pelmo's "the whole level", which is 64 threads here.
            threads = None if concurrency == WIDE_WIDTH else concurrency
            engines += [
                (f"pelmo parallel, max_threads={threads}", concurrency,
                 partial(dag.execute, parallel=True, max_threads=threads)),
                (f"ThreadPoolExecutor per level, max_workers={concurrency}", concurrency,
                 partial(run_thread_pool_levels, work, levels, concurrency)),
                (f"dask.threaded.get, num_workers={concurrency}", concurrency,
                 partial(dask.threaded.get, graph, last_keys, num_workers=concurrency)),
            ]
        for engine, concurrency, run in engines:
            repeats = time_repeats(run, settings.repeats)
            seconds = statistics.median(repeats)
            floor = level_floor(levels, concurrency, node_seconds)
            # Products cannot overlap beyond the cores, whatever the thread count.
            cpu_floor = level_floor(levels, min(concurrency, cores), node_seconds) if cpu_bound else floor
            row = WideRow(work_name, engine, concurrency, seconds, floor, cpu_floor, node_seconds, repeats)
            rows.append(row)
            print(f"  wide {work_name}: {engine}: {seconds:.3f} s (floor {floor:.3f} s)", flush=True)
    return rows, node_samples


def wide_table(rows: Sequence[WideRow], levels: int) -> str:
    node_ms = {r.work: r.node_seconds * 1e3 for r in rows}
    alone = "; ".join(f"{work}: {ms:.3f} ms" for work, ms in node_ms.items())
    lines = [
        f"{levels} levels x {WIDE_WIDTH} independent nodes (plus one no-op root). "
        "Floor = levels x ceil(64 / concurrency) x one node's time. For the products, "
        "the core floor also caps the concurrency at the number of cores, since "
        "a product keeps a core busy.",
        "",
        f"One node alone (the sleep as asked; the product as measured, median of 50): {alone}.",
        "",
        "| work | engine | total (s) | floor (s) | ratio to floor | ratio to core floor |",
        "|---|---|---:|---:|---:|---:|",
    ]
    for r in rows:
        lines.append(
            f"| {r.work} | {r.engine} | {format_seconds(r.seconds)} | {r.floor:.4f} | "
            f"{r.seconds / r.floor:.2f} | {r.seconds / r.cpu_floor:.2f} |"
        )
    return "\n".join(lines)


# ---------------------------------------------------------------- scenario: sweep


def sweep_scenario(settings: Settings) -> list[Measurement]:
    variants, steps = settings.sweep_variants, settings.sweep_steps
    nodes = variants * (steps + 1)
    dag = build_pelmo_sweep(variants, steps)
    check(dag.node_count() == nodes, "sweep node count")
    # The loops run the same number of nodes, each with the same mapping work:
    # read "v" as "x", write "y" as "v".
    edges = shared_names([*make_increments(variants), *[increment] * (variants * steps)], "v")
    loop_nodes = plain_nodes(edges)
    engines: dict[str, Callable[[], object]] = {
        "pelmo sequential": lambda: dag.execute(),
        "pelmo parallel": lambda: dag.execute(parallel=True),
        FLOOR: lambda: run_tight_loop(edges),
        RUN_NODE_LOOP: lambda: run_node_loop(loop_nodes),
    }
    return measure_engines("sweep", nodes, engines, settings.repeats, {})


def sweep_table(results: Sequence[Measurement], settings: Settings) -> str:
    floor = next(m.median for m in results if m.engine == FLOOR)
    lines = [
        f"variants of {settings.sweep_variants} trivial functions, then "
        f"{settings.sweep_steps} add steps: {results[0].size} nodes.",
        "",
        "| engine | total (ms) | µs per node | ratio to floor |",
        "|---|---:|---:|---:|",
    ]
    for m in results:
        lines.append(
            f"| {m.engine} | {m.median * 1e3:.3f} | {format_us(m.median / m.size * 1e6)} | "
            f"{m.median / floor:.2f} |"
        )
    return "\n".join(lines)


# ---------------------------------------------------------------- scenario: threads

UNEVEN_COUNT = 96
UNEVEN_THREADS = 8
TINY_WIDTH, TINY_LEVELS, TINY_THREADS = 100, 6, 8
FAIRNESS_NODES = 1_000_000


def uneven_sleeps() -> list[float]:
    """96 sleeps of 5 to 60 ms, the same ones in every run."""
    rng = np.random.default_rng(20261209)
    return [float(x) for x in rng.uniform(0.005, 0.060, UNEVEN_COUNT)]


def greedy_bound(durations: Sequence[float], workers: int) -> float:
    """The makespan of taking the durations in order, each to the first free
    worker: what a work-conserving pool reaches with no overhead."""
    free = [0.0] * workers
    for duration in durations:
        earliest = min(range(workers), key=free.__getitem__)
        free[earliest] += duration
    return max(free)


def sleeper(seconds: float) -> NodeFunction:
    def node(_: dict) -> dict:
        time.sleep(seconds)
        return {}

    return node


def run_pool_once(functions: Sequence[NodeFunction], workers: int) -> None:
    with ThreadPoolExecutor(max_workers=workers) as pool:
        for future in [pool.submit(f, {}) for f in functions]:
            future.result()


def run_pool_levels(functions: Sequence[NodeFunction], levels: int, workers: int) -> None:
    """Each level's calls submitted at once and waited for before the next,
    as a level-parallel engine built on a pool would."""
    with ThreadPoolExecutor(max_workers=workers) as pool:
        for _ in range(levels):
            for future in [pool.submit(f, {}) for f in functions]:
                future.result()


def increments_beside(run: Callable[[], object]) -> tuple[float, float]:
    """How many times per second of `run` another Python thread increments
    a counter meanwhile, and the seconds `run` took."""
    count = [0]
    stop = [False]

    def counter() -> None:
        while not stop[0]:
            count[0] += 1

    thread = threading.Thread(target=counter)
    thread.start()
    time.sleep(0.05)
    before, start = count[0], time.perf_counter()
    run()
    seconds, after = time.perf_counter() - start, count[0]
    stop[0] = True
    thread.join()
    return (after - before) / seconds, seconds


def threads_scenario(settings: Settings) -> dict[str, Any]:
    repeats = settings.repeats
    results: dict[str, Any] = {}

    durations = uneven_sleeps()
    functions = [sleeper(d) for d in durations]
    graph = pelmo.Graph()
    graph.add(noop, "root")
    graph.variants(functions, "sleep")
    uneven = graph.build()
    engines = {
        f"pelmo parallel, max_threads={UNEVEN_THREADS}":
            partial(uneven.execute, parallel=True, max_threads=UNEVEN_THREADS),
        f"ThreadPoolExecutor(max_workers={UNEVEN_THREADS})": partial(run_pool_once, functions, UNEVEN_THREADS),
    }
    measured = measure_engines("threads: uneven level", UNEVEN_COUNT, engines, repeats, {})
    results["uneven"] = {"measurements": [asdict(m) for m in measured],
                         "greedy_bound": greedy_bound(durations, UNEVEN_THREADS)}

    tiny = build_pelmo_sweep(TINY_WIDTH, TINY_LEVELS - 1)
    tiny_functions = make_increments(TINY_WIDTH)
    engines = {
        f"pelmo parallel, max_threads={TINY_THREADS}": partial(tiny.execute, parallel=True, max_threads=TINY_THREADS),
        f"ThreadPoolExecutor(max_workers={TINY_THREADS}), level by level":
            partial(run_pool_levels, tiny_functions, TINY_LEVELS, TINY_THREADS),
    }
    measured = measure_engines("threads: tiny nodes", TINY_WIDTH * TINY_LEVELS, engines, repeats, {})
    results["tiny"] = [asdict(m) for m in measured]

    nodes = FAIRNESS_NODES // 10 if settings.quick else FAIRNESS_NODES
    edges = fresh_names(make_increments(nodes))
    chain = build_pelmo_chain(edges)
    chain.execute()
    samples: dict[str, list[list[float]]] = {"pelmo execute(), sequential": [], FLOOR: []}
    runs = {"pelmo execute(), sequential": chain.execute, FLOOR: partial(run_tight_loop, edges)}
    for _ in range(repeats):
        for name, run in runs.items():
            gc.collect()
            samples[name].append(list(increments_beside(run)))
    results["fairness"] = {"nodes": nodes, "samples": samples}
    for name, pairs in samples.items():
        rate = statistics.median(rate for rate, _ in pairs)
        print(f"  threads: beside {name}: {rate / 1e6:.2f} M increments per second of run", flush=True)
    return results


def threads_table(results: Mapping[str, Any]) -> str:
    uneven = [Measurement(**m) for m in results["uneven"]["measurements"]]
    pool = uneven[1].median
    lines = [
        f"One level of {UNEVEN_COUNT} sleeps of 5–60 ms (seeded), at most {UNEVEN_THREADS} at once. "
        "The greedy bound takes the sleeps in level order, each to the first free thread, with no overhead.",
        "",
        "| engine | total (s) | ratio to the pool |",
        "|---|---:|---:|",
    ]
    lines += [f"| {m.engine} | {m.median:.3f} | {m.median / pool:.2f} |" for m in uneven]
    bound = results["uneven"]["greedy_bound"]
    lines += [f"| greedy bound | {bound:.3f} | {bound / pool:.2f} |", ""]
    tiny = [Measurement(**m) for m in results["tiny"]]
    per_call = tiny[1].median / tiny[1].size
    lines += [
        f"Tiny nodes: a sweep {TINY_WIDTH} wide and {TINY_LEVELS} levels deep (`lambda d: {{\"y\": d.get(\"x\", 0) + 1}}`), "
        f"at most {TINY_THREADS} at once, against the same calls submitted to a pool level by level.",
        "",
        "| engine | µs per node | ratio to the pool's µs per call |",
        "|---|---:|---:|",
    ]
    lines += [f"| {m.engine} | {format_us(m.median / m.size * 1e6)} | {m.median / m.size / per_call:.2f} |"
              for m in tiny]
    fairness = results["fairness"]
    lines += [
        "",
        f"Another Python thread counting (`count[0] += 1` in a loop) beside a sequential chain of "
        f"{fairness['nodes']:,} trivial nodes: millions of increments per second of the run, median of the repeats. "
        "The loop is the tight hand-written one; both hand the interpreter lock over as the interpreter does.",
        "",
        "| beside | M increments per second | run (s) |",
        "|---|---:|---:|",
    ]
    for name, pairs in fairness["samples"].items():
        lines.append(f"| {name} | {statistics.median(r for r, _ in pairs) / 1e6:.2f} | "
                     f"{statistics.median(s for _, s in pairs):.2f} |")
    return "\n".join(lines)


# ---------------------------------------------------------------- scenario: outputs

OUTPUT_COUNT = 100_000


def outputs_scenario(settings: Settings) -> list[Measurement]:
    names = [f"name_{i}" for i in range(OUTPUT_COUNT)]
    returned = dict.fromkeys(names, 0)
    mapping = {name: "c" + name for name in names}
    graph = pelmo.Graph()
    graph.add(lambda d: returned, outputs=mapping)
    dag = graph.build()
    check(len(dag.execute()) == OUTPUT_COUNT, "outputs: every result kept")
    engines = {
        "pelmo execute(), sequential": dag.execute,
        "pelmo execute(parallel=True)": partial(dag.execute, parallel=True),
        "dict comprehension doing the mapping": lambda: {mapping[k]: v for k, v in returned.items() if k in mapping},
    }
    return measure_engines("outputs", OUTPUT_COUNT, engines, settings.repeats, {})


def outputs_table(results: Sequence[Measurement]) -> str:
    floor = results[-1].median
    lines = [
        f"One node returning a dict of {OUTPUT_COUNT:,} names, every one of them mapped to a context name.",
        "",
        "| engine | ms per run | ratio to the comprehension |",
        "|---|---:|---:|",
    ]
    lines += [f"| {m.engine} | {m.median * 1e3:.2f} | {m.median / floor:.2f} |" for m in results]
    return "\n".join(lines)


# ---------------------------------------------------------------- scenario: native


def native_scenario(settings: Settings) -> tuple[list[dict], str]:
    binary = settings.native_bin
    if not binary.exists():
        return [], f"not run: {binary} is missing (`make native-build` makes it)."
    command = [str(binary), "--benchmark_format=json"]
    if settings.native_filter:
        command.append(f"--benchmark_filter={settings.native_filter}")
    print(f"  native: {' '.join(command)}", flush=True)
    completed = subprocess.run(command, capture_output=True, text=True, check=True)
    report = json.loads(completed.stdout)
    return report.get("benchmarks", []), ""


def native_table(benchmarks: Sequence[dict], note: str) -> str:
    if note:
        return note
    lines = ["| benchmark | per node (ns) | time per run | iterations |", "|---|---:|---:|---:|"]
    for b in benchmarks:
        # The counter is an inverted rate, so Google Benchmark reports seconds per node.
        per_node_ns = b.get("per_node", math.nan) * 1e9
        lines.append(
            f"| {b['name']} | {per_node_ns:.1f} | {b.get('real_time', math.nan):.3f} {b.get('time_unit', '')} | "
            f"{b.get('iterations', '')} |"
        )
    return "\n".join(lines)


# ---------------------------------------------------------------- scenario: memory

# Runs in a fresh interpreter that imports nothing heavy, so the baseline is the
# interpreter plus pelmo alone. The input and output lists are shared by every
# add call, so what grows is the engine's own per-node storage.
MEMORY_PROBE = textwrap.dedent(
    """
    import gc, json, resource, sys
    import pelmo

    def status_bytes(field):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no " + field + " in /proc/self/status")

    def rss_bytes():
        return status_bytes("VmRSS")

    def step(d):
        return {"y": d.get("x", 0) + 1}

    count = int(sys.argv[1])
    gc.collect()
    baseline = rss_bytes()
    inputs, outputs = [("v", "x")], [("y", "v")]
    graph = pelmo.Graph()
    for _ in range(count):
        graph.add(step, inputs=inputs, outputs=outputs)
    with_graph = rss_bytes()
    dag = graph.build()
    del graph
    gc.collect()
    after_build = rss_bytes()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    high_water = status_bytes("VmHWM")
    assert dag.node_count() == count
    print(json.dumps({"nodes": count, "baseline": baseline, "with_graph": with_graph,
                      "after_build": after_build, "peak": peak,
                      "high_water": high_water}))
    """
)


def memory_scenario(settings: Settings) -> list[dict]:
    """One probe per repeat, each in a fresh interpreter."""
    probes = []
    for _ in range(settings.repeats):
        # Away from the checkout, whose pelmo/ holds only the Python files.
        completed = subprocess.run(
            [sys.executable, "-c", MEMORY_PROBE, str(settings.memory_nodes)],
            capture_output=True, text=True, check=True, cwd=tempfile.gettempdir(),
        )
        probes.append(json.loads(completed.stdout))
        print(f"  memory: {probes[-1]}", flush=True)
    return probes


def memory_table(probes: Sequence[dict]) -> str:
    nodes = probes[0]["nodes"]
    baseline = statistics.median(p["baseline"] for p in probes)
    rows = [
        ("Graph filled, before build (VmRSS)", "with_graph"),
        ("after build, Graph dropped (VmRSS)", "after_build"),
        ("peak (ru_maxrss)", "peak"),
        ("peak (VmHWM)", "high_water"),
    ]
    lines = [
        f"A {nodes:,}-node chain built from Python, one input and one output mapping per node. "
        f"Baseline: interpreter after `import pelmo`, {baseline / 2**20:.1f} MiB. Each of the "
        f"{len(probes)} probes runs in a fresh interpreter; every figure is the median over the "
        "probes, the amount above baseline taken within each probe. The after-build figure is "
        "what the process holds once only the Dag is referenced; memory the Graph used and the "
        "allocator kept counts in it too. Linux carries ru_maxrss across exec from the forked "
        "launcher (this script, with dask and NumPy loaded), so that row means something only "
        "when above the launcher's size; VmHWM is the probe's own peak.",
        "",
        "| moment | RSS (MiB) | above baseline (MiB) | bytes per node |",
        "|---|---:|---:|---:|",
    ]
    for name, key in rows:
        value = statistics.median(p[key] for p in probes)
        extra = statistics.median(p[key] - p["baseline"] for p in probes)
        lines.append(f"| {name} | {value / 2**20:.1f} | {extra / 2**20:.1f} | {extra / nodes:.0f} |")
    return "\n".join(lines)


# ---------------------------------------------------------------- scenario: cluster

LOCALITY_ELEMENTS = 10_000_000  # float64: 80 MB
CLUSTER_ENGINES = ("pelmo.dask.execute", "dask.delayed", "offload (examples/dask_offload.py)")


def make_array() -> np.ndarray:
    return np.ones(LOCALITY_ELEMENTS)


def double_array(array: np.ndarray) -> np.ndarray:
    return array * 2


def array_sum(array: np.ndarray) -> float:
    return float(array.sum())


def run_on_worker(function: Callable[..., Any], argument: str | None, result: str) -> NodeFunction:
    """A node that does its work itself, wherever it runs."""

    def node(inputs: dict) -> dict:
        return {result: function(*([inputs[argument]] if argument else []))}

    return node


def offload_to(client: Any, function: Callable[..., Any], argument: str | None, result: str) -> NodeFunction:
    """A node that hands its work to the cluster and waits for the result,
    as the nodes of examples/dask_offload.py do: the result comes to the
    client, and goes back out with the next node's task."""

    def node(inputs: dict) -> dict:
        arguments = [inputs[argument]] if argument else []
        return {result: client.submit(function, *arguments, pure=False).result()}

    return node


def build_locality_dag(node: Callable[[Callable[..., Any], str | None, str], NodeFunction]) -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(node(make_array, None, "array"), "Make", outputs={"array": "array"})
    graph.add(node(double_array, "array", "array"), "Double", inputs={"array": "array"}, outputs={"array": "doubled"})
    graph.add(node(array_sum, "array", "sum"), "Sum", inputs={"doubled": "array"}, outputs={"sum": "sum"})
    return graph.build()


def delayed_locality(client: Any) -> float:
    array = dask.delayed(make_array, pure=False)()
    total = dask.delayed(array_sum, pure=False)(dask.delayed(double_array, pure=False)(array))
    return client.compute(total, sync=True)


def bytes_sent(client: Any, run: Callable[[], object]) -> dict[str, int]:
    """Bytes the workers sent while `run` ran, from their own transfer logs
    (distributed records every answer to a request for data, with who asked):
    to another worker, or else to the client or to the scheduler gathering
    for it."""

    def log(dask_worker: Any) -> list[tuple[str | None, int]]:
        return [(entry["who"], entry["total"]) for entry in dask_worker.transfer_outgoing_log]

    workers = set(client.scheduler_info()["workers"])
    before = client.run(log)
    run()
    after = client.run(log)
    sent = {"to the client": 0, "between workers": 0}
    for worker, entries in after.items():
        for who, total in entries[len(before[worker]):]:
            sent["between workers" if who in workers else "to the client"] += total
    return sent


def dask_total(*values: int) -> int:
    return sum(values)


def fan_total(inputs: dict) -> dict:
    return {"total": sum(inputs.values())}


def build_pelmo_fan(functions: Sequence[NodeFunction]) -> pelmo.Dag:
    """A no-op root, one branch per callable, each writing a name of its own,
    and a node a level later that adds them all up."""
    graph = pelmo.Graph()
    graph.add(None, "root")
    for k, function in enumerate(functions):
        side = pelmo.Graph()
        side.add(function, "leaf", outputs={"y": f"v{k}"})
        graph.branch(side)
    # Beside the branches: the total comes a level after them.
    graph.add(None, "wait")
    graph.add(fan_total, "total", inputs={f"v{k}": f"v{k}" for k in range(len(functions))},
              outputs={"total": "total"})
    return graph.build()


def delayed_chain(client: Any, functions: Sequence[NodeFunction]) -> int:
    value = dask.delayed(dask_root, pure=False)(functions[0])
    for function in functions[1:]:
        value = dask.delayed(dask_step, pure=False)(function, value)
    return client.compute(value, sync=True)


def delayed_fan(client: Any, functions: Sequence[NodeFunction]) -> int:
    leaves = [dask.delayed(dask_root, pure=False)(function) for function in functions]
    return client.compute(dask.delayed(dask_total, pure=False)(*leaves), sync=True)


def cluster_scenario(settings: Settings) -> tuple[list[Measurement], dict[str, dict[str, int]], list[Measurement]]:
    """The locality measurements, the bytes each engine's run sent, and the
    measurements of many small nodes."""
    # Here, so that the other scenarios run with any pelmo, older ones too.
    import pelmo.dask
    from dask.distributed import Client, LocalCluster

    # Two worker processes on loopback, one thread each, no dashboard.
    cluster_options: dict[str, Any] = dict(
        host="127.0.0.1", scheduler_port=0, n_workers=2, threads_per_worker=1, processes=True,
        dashboard_address=None,
    )
    with LocalCluster(**cluster_options) as cluster, Client(cluster) as client:
        local = build_locality_dag(run_on_worker)
        offload = build_locality_dag(partial(offload_to, client))
        expected_sum = 2.0 * LOCALITY_ELEMENTS
        engines: dict[str, Callable[[], object]] = {
            CLUSTER_ENGINES[0]: lambda: pelmo.dask.execute(local, client, outputs=["sum"])["sum"],
            CLUSTER_ENGINES[1]: lambda: delayed_locality(client),
            CLUSTER_ENGINES[2]: lambda: offload.execute(parallel=True, outputs=["sum"])["sum"],
        }
        for engine, run in engines.items():
            check(run() == expected_sum, f"{engine} locality sum")
        # One run each, alone, for the transfer logs.
        sent = {engine: bytes_sent(client, run) for engine, run in engines.items()}
        for engine, figures in sent.items():
            print(f"  cluster locality: {engine}: bytes sent {figures}", flush=True)
        # A run is short against the swings of a busy machine: three times
        # the repeats, to steady the medians.
        locality = measure_engines("cluster locality", 1, engines, 3 * settings.repeats, {})

        overhead: list[Measurement] = []
        chain_functions = make_increments(settings.cluster_chain)
        chain = build_pelmo_chain(fresh_names(chain_functions))
        last = f"v{settings.cluster_chain - 1}"
        fan_functions = make_increments(settings.cluster_fan)
        fan = build_pelmo_fan(fan_functions)
        shapes: dict[str, tuple[int, dict[str, tuple[Callable[[], object], object]]]] = {
            "chain": (settings.cluster_chain, {
                "pelmo.dask.execute": (lambda: pelmo.dask.execute(chain, client, outputs=[last])[last],
                                       settings.cluster_chain),
                "dask.delayed": (lambda: delayed_chain(client, chain_functions), settings.cluster_chain),
            }),
            "fan-in": (settings.cluster_fan, {
                "pelmo.dask.execute": (lambda: pelmo.dask.execute(fan, client, outputs=["total"])["total"],
                                       settings.cluster_fan),
                "dask.delayed": (lambda: delayed_fan(client, fan_functions), settings.cluster_fan),
            }),
        }
        for shape, (size, runs) in shapes.items():
            for engine, (run, expected) in runs.items():
                check(run() == expected, f"{engine} {shape} result")
            overhead += measure_engines(f"cluster {shape}", size, {e: r for e, (r, _) in runs.items()},
                                        settings.repeats, {})
    return locality, sent, overhead


def locality_table(results: Sequence[Measurement], sent: Mapping[str, Mapping[str, int]]) -> str:
    by_engine = {m.engine: m.median for m in results}
    delayed = by_engine[CLUSTER_ENGINES[1]]
    pelmo_seconds = by_engine[CLUSTER_ENGINES[0]]
    lines = [
        f"Three nodes on a LocalCluster of two worker processes (one thread each, 127.0.0.1): the first "
        f"makes an array of {LOCALITY_ELEMENTS:,} float64 ({LOCALITY_ELEMENTS * 8 / 1e6:.0f} MB), the second "
        "doubles it, the third returns its sum; `outputs=[\"sum\"]`. pelmo.dask runs the nodes as tasks; "
        "dask.delayed runs the same three functions as tasks; the offload way runs the Dag locally "
        "(`execute(parallel=True)`), each node submitting its function to the cluster and waiting for the "
        f"result. The engines take turns, repeat by repeat ({len(results[0].seconds)} each). Bytes sent: "
        "from the workers' own transfer logs "
        "during one more run of each engine.",
        "",
        "| engine | median (s) | ratio to dask.delayed | bytes sent to the client | bytes sent between workers |",
        "|---|---:|---:|---:|---:|",
    ]
    for m in results:
        figures = sent[m.engine]
        lines.append(
            f"| {m.engine} | {format_seconds(m.median)} | {m.median / delayed:.2f} | "
            f"{figures['to the client']:,} | {figures['between workers']:,} |"
        )
    lines += [
        "",
        f"pelmo.dask against dask.delayed: {pelmo_seconds / delayed:.2f}x (target: at most 1.2x); "
        f"the offload way against pelmo.dask: {by_engine[CLUSTER_ENGINES[2]] / pelmo_seconds:.1f}x "
        "(target: at least 3x).",
    ]
    return "\n".join(lines)


def cluster_overhead_table(results: Sequence[Measurement]) -> str:
    lines = [
        "Trivial callables (`lambda d: {\"y\": d.get(\"x\", 0) + 1}`) on the same cluster. Chain: node i "
        "reads v{i-1} and writes v{i}; `outputs` is the last name. Fan-in: a no-op root, one branch per "
        "node writing a name of its own, and a node a level later that adds them all up; `outputs` is "
        "the total. dask.delayed builds the same graph from the same callables, "
        "one task per node. The time is the whole run, graph building and submission included.",
        "",
        "| shape | nodes | engine | µs per node | ratio to dask.delayed |",
        "|---|---:|---|---:|---:|",
    ]
    for scenario in dict.fromkeys(m.scenario for m in results):
        rows = [m for m in results if m.scenario == scenario]
        delayed = next(m.median for m in rows if m.engine == "dask.delayed")
        for m in rows:
            lines.append(f"| {scenario.removeprefix('cluster ')} | {m.size:,} | {m.engine} | "
                         f"{format_us(m.median / m.size * 1e6)} | {m.median / delayed:.2f} |")
    return "\n".join(lines) + "\n\nTarget: pelmo.dask within 1.5x of dask.delayed."


# ---------------------------------------------------------------- environment and report


def check(condition: bool, what: str) -> None:
    if not condition:
        raise RuntimeError(f"wrong result: {what}")


def progress(m: Measurement) -> None:
    if m.seconds:
        print(f"  {m.scenario} N={m.size:,}: {m.engine}: {m.median / m.size * 1e6:.2f} µs/node", flush=True)
    else:
        print(f"  {m.scenario} N={m.size:,}: {m.engine}: {m.note}", flush=True)


def available_cores() -> int:
    return len(os.sched_getaffinity(0))


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def environment() -> dict[str, str]:
    import matplotlib

    return {
        "Python": f"{platform.python_implementation()} {platform.python_version()}",
        "pelmo": importlib.metadata.version("pelmo"),
        "dask": dask.__version__,
        "distributed": importlib.metadata.version("distributed"),
        "NumPy": np.__version__,
        "matplotlib": matplotlib.__version__,
        "nproc": str(available_cores()),
        "CPU": cpu_model(),
        "OS": platform.platform(),
    }


def write_report(sections: Sequence[tuple[str, str]], env: Mapping[str, str], settings: Settings) -> Path:
    mode = "quick (small sizes, 3 repeats)" if settings.quick else f"full, {settings.repeats} repeats"
    lines = ["# pelmo compared", ""]
    lines += [f"- **{key}**: {value}" for key, value in env.items()]
    lines += [f"- **run**: {mode}; each chain, wide, sweep and cluster figure is the median of the repeats "
              "(all of them are in results.json); the native figures are Google Benchmark's, one run "
              "each; the memory figures are medians over one probe per repeat (all in results.json)", ""]
    for title, body in sections:
        lines += [f"## {title}", "", body, ""]
    path = settings.out_dir / "results.md"
    path.write_text("\n".join(lines))
    return path


def parse_settings(argv: Sequence[str] | None) -> Settings:
    all_scenarios = ("chain", "wide", "sweep", "threads", "outputs", "native", "memory", "cluster")
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes and 3 repeats")
    parser.add_argument("--repeats", type=int, help="repeats per measurement (default 5, quick 3)")
    parser.add_argument("--scenarios", default=",".join(all_scenarios),
                        help="comma-separated subset of: " + ", ".join(all_scenarios))
    parser.add_argument("--native-bin", type=Path, default=DEFAULT_NATIVE_BIN)
    parser.add_argument("--out", type=Path, default=HERE / "results")
    args = parser.parse_args(argv)
    chosen = frozenset(s.strip() for s in args.scenarios.split(",") if s.strip())
    unknown = chosen - set(all_scenarios)
    if unknown:
        parser.error(f"unknown scenarios: {', '.join(sorted(unknown))}")
    quick = args.quick
    return Settings(
        quick=quick,
        repeats=args.repeats or (3 if quick else 5),
        chain_sizes=(1_000, 10_000) if quick else (1_000, 10_000, 100_000),
        wide_levels=4 if quick else 16,
        sweep_variants=100,
        sweep_steps=5,
        memory_nodes=100_000 if quick else 1_000_000,
        cluster_chain=100 if quick else 500,
        cluster_fan=200 if quick else 1_000,
        native_filter="/10000$" if quick else None,
        native_bin=args.native_bin,
        out_dir=args.out,
        scenarios=chosen,
    )


def main(argv: Sequence[str] | None = None) -> int:
    settings = parse_settings(argv)
    settings.out_dir.mkdir(parents=True, exist_ok=True)
    env = environment()
    for key, value in env.items():
        print(f"{key}: {value}")
    started = time.perf_counter()
    sections: list[tuple[str, str]] = []
    raw: dict[str, Any] = {"environment": env, "settings": {"quick": settings.quick, "repeats": settings.repeats}}

    if "chain" in settings.scenarios:
        print("chain", flush=True)
        chain, builds = chain_scenario(settings)
        sections.append(("chain: µs per node of execute()", chain_intro(settings) + per_node_table(chain)))
        pair = pair_scenario(settings)
        sections.append(("chain: pelmo against the floor alone", pair_table(pair)))
        sections.append(("chain: ratio to the floor, within this run", ratio_table(chain)))
        sections.append(("chain: µs per node of pelmo's build()", per_node_table(builds)))
        plot_chain(chain, settings.out_dir / "time_per_node.png")
        working, calibration = work_chain_scenario(settings)
        sections.append(("chain with work in each callable", work_chain_table(working, calibration)))
        raw["chain_pair"] = [asdict(m) for m in pair]
        raw["chain"] = [asdict(m) for m in [*chain, *builds]]
        raw["chain_with_work"] = [asdict(m) for m in working]
        raw["chain_work_calibration"] = calibration
    if "wide" in settings.scenarios:
        print("wide", flush=True)
        rows, node_samples = wide_scenario(settings)
        sections.append(("wide: GIL-releasing work in levels", wide_table(rows, settings.wide_levels)))
        raw["wide"] = [asdict(r) for r in rows]
        raw["wide_node_alone_seconds"] = node_samples
    if "sweep" in settings.scenarios:
        print("sweep", flush=True)
        sweep = sweep_scenario(settings)
        sections.append(("sweep: variants", sweep_table(sweep, settings)))
        raw["sweep"] = [asdict(m) for m in sweep]
    if "threads" in settings.scenarios:
        print("threads", flush=True)
        threads = threads_scenario(settings)
        sections.append(("threads: the worker team", threads_table(threads)))
        raw["threads"] = threads
    if "outputs" in settings.scenarios:
        print("outputs", flush=True)
        outputs = outputs_scenario(settings)
        sections.append(("outputs: many results of one node", outputs_table(outputs)))
        raw["outputs"] = [asdict(m) for m in outputs]
    if "native" in settings.scenarios:
        print("native", flush=True)
        benchmarks, note = native_scenario(settings)
        sections.append(("native: C++ core (pelmo_core_bench)", native_table(benchmarks, note)))
        raw["native"] = benchmarks
    if "memory" in settings.scenarios:
        print("memory", flush=True)
        probes = memory_scenario(settings)
        sections.append(("memory: resident bytes per node", memory_table(probes)))
        raw["memory"] = probes

    if "cluster" in settings.scenarios:
        print("cluster", flush=True)
        locality, sent, overhead = cluster_scenario(settings)
        sections.append(("cluster: an 80 MB array between nodes", locality_table(locality, sent)))
        sections.append(("cluster: cost per node of many small nodes", cluster_overhead_table(overhead)))
        raw["cluster_locality"] = [asdict(m) for m in locality]
        raw["cluster_locality_bytes_sent"] = sent
        raw["cluster_overhead"] = [asdict(m) for m in overhead]

    elapsed = time.perf_counter() - started
    raw["elapsed_seconds"] = elapsed
    report = write_report(sections, env, settings)
    (settings.out_dir / "results.json").write_text(json.dumps(raw, indent=2))
    print(f"wrote {report} in {elapsed:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
