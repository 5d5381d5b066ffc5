"""Progress and timing.

A wrapper that counts finished nodes and times each one, shown with a tqdm
progress bar over a chain of 2,000 nodes and a table of the slowest nodes after
the run.

    python examples/recipes/progress.py
"""

import functools
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from tqdm import tqdm

import pelmo

Values = Dict[str, Any]
Node = Callable[[Values], Values]

NODES = 2_000
# Every SLOW_EVERY-th node sleeps, so the timing table has something to show.
SLOW_EVERY = 250
SLOW_SECONDS = 0.002


class Progress:
    """Counts finished nodes and records each one's seconds. `on_finish`,
    if given, is called after each node with the node's label; a failing
    node counts as finished too."""

    def __init__(self, on_finish: Optional[Callable[[str], object]] = None) -> None:
        self.timings: List[Tuple[str, float]] = []
        self.on_finish = on_finish
        # Nodes of a parallel level finish on several threads; the lock keeps
        # the count and the callback in step.
        self._lock = threading.Lock()

    @property
    def finished(self) -> int:
        return len(self.timings)

    def timed(self, label: str) -> Callable[[Node], Node]:
        def decorate(function: Node) -> Node:
            @functools.wraps(function)
            def node(inputs: Values) -> Values:
                start = time.perf_counter()
                try:
                    return function(inputs)
                finally:
                    with self._lock:
                        self.timings.append((label, time.perf_counter() - start))
                        if self.on_finish is not None:
                            self.on_finish(label)

            return node

        return decorate

    def slowest(self, count: int = 5) -> List[Tuple[str, float]]:
        return sorted(self.timings, key=lambda timing: timing[1], reverse=True)[:count]


def step(index: int) -> Node:
    def work(inputs: Values) -> Values:
        if index % SLOW_EVERY == 0:
            time.sleep(SLOW_SECONDS)
        return {"x": inputs.get("x", 0) + 1}

    return work


def build_graph(progress: Progress, nodes: int = NODES) -> pelmo.Dag:
    graph = pelmo.Graph()
    for index in range(nodes):
        label = f"step {index}"
        graph.add(progress.timed(label)(step(index)), label, inputs={"x": "x"}, outputs={"x": "x"})
    return graph.build()


def run(parallel: bool = False) -> Tuple[Progress, Values]:
    progress = Progress()
    dag = build_graph(progress)
    with tqdm(total=dag.node_count(), unit="node") as bar:
        progress.on_finish = lambda _label: bar.update()
        context = dag.execute(parallel=parallel)
    return progress, context


def main() -> None:
    progress, context = run()
    print(f"finished nodes: {progress.finished}, x = {context['x']}")
    print(f"total node time: {sum(seconds for _, seconds in progress.timings) * 1e3:.1f} ms")
    print("slowest nodes:")
    print(f"  {'node':<16}{'ms':>8}")
    for label, seconds in progress.slowest():
        print(f"  {label:<16}{seconds * 1e3:>8.2f}")


if __name__ == "__main__":
    main()
