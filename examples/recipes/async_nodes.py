"""Async callables.

pelmo calls a node's callable and expects a dict back. An `async def`
returns a coroutine instead: the node prints "Error: Python function did not
return a dict", Python warns that the coroutine was never awaited, and the
node yields nothing. Wrap it in a plain function that runs the coroutine:

- `run_each` starts a fresh event loop per call (`asyncio.run`). Simple, and
  fine for a few nodes; nothing may be shared between calls that belongs to
  a loop (a client session, a connection pool).
- `LoopThread` keeps one loop running in a thread of its own and hands each
  call to it. Loop-bound resources live as long as the loop, and in parallel
  mode the nodes of a level await concurrently on that one loop: waiting on
  the result releases the GIL.

    python examples/recipes/async_nodes.py
"""

import asyncio
import functools
import threading
import time
from typing import Any, Callable, Coroutine, Dict, List, Optional, Tuple

import pelmo

Values = Dict[str, Any]
Node = Callable[[Values], Values]
AsyncNode = Callable[[Values], Coroutine[Any, Any, Values]]


def run_each(function: AsyncNode) -> Node:
    @functools.wraps(function)
    def node(inputs: Values) -> Values:
        return asyncio.run(function(inputs))

    return node


class LoopThread:
    """An event loop on a daemon thread; `wrap` turns an async callable into
    a node that runs on it. Use it as a context manager to stop the loop."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self.loop.run_forever, name="pelmo-async", daemon=True)
        self._thread.start()

    def wrap(self, function: AsyncNode, timeout: Optional[float] = None) -> Node:
        @functools.wraps(function)
        def node(inputs: Values) -> Values:
            return asyncio.run_coroutine_threadsafe(function(inputs), self.loop).result(timeout)

        return node

    def close(self) -> None:
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join()
        self.loop.close()

    def __enter__(self) -> "LoopThread":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def fetcher(index: int, seconds: float, intervals: List[Tuple[float, float]]) -> AsyncNode:
    """Stands in for an HTTP request: awaits, then answers; records when it
    ran."""

    async def fetch(inputs: Values) -> Values:
        start = time.perf_counter()
        await asyncio.sleep(seconds)
        intervals.append((start, time.perf_counter()))
        return {f"page{index}": f"{inputs['site']}/{index}"}

    return fetch


def build_graph(wrap: Callable[[AsyncNode], Node], intervals: List[Tuple[float, float]],
                pages: int = 8, seconds: float = 0.1) -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(lambda _: {"site": "https://example.org"}, "Site", outputs={"site": "site"})
    graph.variants([wrap(fetcher(i, seconds, intervals)) for i in range(pages)], "Fetch",
                   inputs={"site": "site"}, outputs={f"page{i}": f"page{i}" for i in range(pages)})
    return graph.build()


def main() -> None:
    for name in ("asyncio.run per call", "one loop in a thread"):
        intervals: List[Tuple[float, float]] = []
        start = time.perf_counter()
        if name == "asyncio.run per call":
            context = build_graph(run_each, intervals).execute(parallel=True)
        else:
            with LoopThread() as loop:
                context = build_graph(loop.wrap, intervals).execute(parallel=True)
        pages = sorted(key for key in context if key.startswith("page"))
        print(f"{name}: {len(pages)} pages in {time.perf_counter() - start:.2f} s (8 fetches of 0.1 s)")


if __name__ == "__main__":
    main()
