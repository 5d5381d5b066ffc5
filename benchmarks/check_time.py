"""Wall time of pelmo.check on 100,000-node graphs of three shapes, next to
the time Dag.nodes() alone takes (check calls it once).

    .venv/bin/python benchmarks/check_time.py [--nodes N] [--repeat R]

Prints the best of R runs for each shape, as wall time and as the process's
CPU time (which other processes on a shared machine inflate less); nothing is
written.
"""

from __future__ import annotations

import argparse
import time
from typing import Any, Callable, Dict, List

import pelmo


def noop(inputs: Dict[str, Any]) -> Dict[str, Any]:
    return {}


def chain(n: int) -> pelmo.Dag:
    # Every name has one writer and one reader, in order: no findings.
    graph = pelmo.Graph()
    graph.add(None, "start", outputs={"v": "v0"})
    for i in range(1, n):
        graph.add(None, f"step {i}", inputs={f"v{i - 1}": "x"}, outputs={"v": f"v{i}"})
    return graph.build()


def sweep(n: int) -> pelmo.Dag:
    # One finding holding n - 1 nodes: every variant writes "score".
    graph = pelmo.Graph()
    graph.add(None, "data", outputs={"d": "data"})
    graph.variants([noop] * (n - 1), "fit", inputs={"data": "d"}, outputs={"s": "score"})
    return graph.build()


def paths(n: int) -> pelmo.Dag:
    # Ten variant paths, each a chain of steps with a side branch every ten
    # steps that reads what its path wrote and a name from a sibling branch.
    # Every ten steps make 100 step nodes, 20 side nodes and 10 after.
    variants = 10
    steps = (n - variants) // 13
    graph = pelmo.Graph()
    graph.variants([noop] * variants, "v", outputs={"out": "x0"})
    for i in range(1, steps):
        graph.add(None, f"step {i}", inputs={f"x{i - 1}": "x"}, outputs={"out": f"x{i}"})
        if i % 10 == 0:
            side = pelmo.Graph()
            side.add(None, "side", inputs={f"x{i}": "x", "shared": "s"}, outputs={"out": "shared"})
            side.add(None, "side end", inputs={"shared": "s"})
            graph.branch(side)
            graph.add(None, "after", inputs={"shared": "s"})
    return graph.build()


def best(repeat: int, work: Callable[[], object]) -> str:
    wall: List[float] = []
    cpu: List[float] = []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        work()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return f"{min(wall):.3f} / {min(cpu):.3f}"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    shapes: Dict[str, Callable[[int], pelmo.Dag]] = {"chain": chain, "sweep": sweep, "paths": paths}
    print(f"{'shape':<8}{'nodes':>9}{'nodes() s':>16}{'check() s':>16}  findings")
    print(f"{'':<8}{'':>9}{'wall / cpu':>16}{'wall / cpu':>16}")
    for name, make in shapes.items():
        dag = make(args.nodes)
        listing = best(args.repeat, dag.nodes)
        checking = best(args.repeat, lambda: pelmo.check(dag))
        kinds: Dict[str, int] = {}
        for finding in pelmo.check(dag):
            kinds[finding.kind] = kinds.get(finding.kind, 0) + 1
        print(f"{name:<8}{dag.node_count():>9}{listing:>16}{checking:>16}  {kinds}")


if __name__ == "__main__":
    main()
