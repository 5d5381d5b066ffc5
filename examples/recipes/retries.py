"""Retries and timeouts for flaky I/O nodes.

`retrying` calls again after the errors you name, waiting longer each time,
and lets the last error through to pelmo's report when every attempt failed.
`time_limited` gives up on a call that takes too long by raising
TimeoutError in the node. Python cannot stop a thread, so the call it gave
up on runs on in the background until it returns: prefer the library's own
timeout (`urlopen(url, timeout=...)`, `socket.settimeout`) where there is
one, and use this for calls that have none.

    python examples/recipes/retries.py
"""

import functools
import time
from concurrent import futures
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, Tuple, Type

import pelmo

Values = Dict[str, Any]
Node = Callable[[Values], Values]


def retrying(attempts: int = 3, delay: float = 0.05, backoff: float = 2.0,
             errors: Tuple[Type[BaseException], ...] = (OSError,)) -> Callable[[Node], Node]:
    def decorate(function: Node) -> Node:
        @functools.wraps(function)
        def node(inputs: Values) -> Values:
            wait = delay
            for attempt in range(1, attempts + 1):
                try:
                    return function(inputs)
                except errors:
                    if attempt == attempts:
                        raise
                    time.sleep(wait)  # releases the GIL: other nodes of a parallel level go on
                    wait *= backoff
            raise AssertionError("unreachable")

        return node

    return decorate


def time_limited(seconds: float) -> Callable[[Node], Node]:
    def decorate(function: Node) -> Node:
        @functools.wraps(function)
        def node(inputs: Values) -> Values:
            # A pool per call: a call that timed out keeps its thread, and
            # must not hold up the next call behind it.
            pool = ThreadPoolExecutor(max_workers=1)
            try:
                return pool.submit(function, inputs).result(timeout=seconds)
            except futures.TimeoutError:
                # The builtin one, which is an OSError: `retrying` retries it.
                raise TimeoutError(f"no answer within {seconds} s") from None
            finally:
                pool.shutdown(wait=False)

        return node

    return decorate


class Flaky:
    """Stands in for a service that fails `failures` times, then answers."""

    def __init__(self, failures: int, answer: Any) -> None:
        self.failures = failures
        self.answer = answer
        self.calls = 0

    def __call__(self, inputs: Values) -> Values:
        self.calls += 1
        if self.calls <= self.failures:
            raise ConnectionResetError(f"attempt {self.calls} dropped")
        return {"body": self.answer}


def slow(seconds: float) -> Node:
    def call(inputs: Values) -> Values:
        time.sleep(seconds)
        return {"body": "late"}

    return call


def build_graph(fetch: Node) -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(fetch, "Fetch", outputs={"body": "body"})
    return graph.build()


def main() -> None:
    flaky = Flaky(failures=2, answer="hello")
    context = build_graph(retrying(attempts=3)(flaky)).execute()
    print(f"flaky service, 3 attempts: {context} after {flaky.calls} calls")

    down = Flaky(failures=10, answer="never")
    context = build_graph(retrying(attempts=3, delay=0.01)(down)).execute()
    print(f"service down, 3 attempts: {context} after {down.calls} calls")

    start = time.perf_counter()
    context = build_graph(time_limited(0.1)(slow(0.5))).execute()
    print(f"slow service, 0.1 s limit: {context} after {time.perf_counter() - start:.1f} s")

    # Both at once: each attempt gets 0.1 s, and a timeout counts as a failure.
    both = retrying(attempts=2, delay=0.01)(time_limited(0.1)(slow(0.02)))
    print(f"fast enough, 2 attempts of 0.1 s: {build_graph(both).execute()}")


if __name__ == "__main__":
    main()
