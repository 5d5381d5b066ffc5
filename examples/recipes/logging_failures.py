"""Logging instead of stderr.

Route node failures to the `logging` module: a wrapper logs the exception
with the node's label and traceback through a logger of your choosing, and
`sys.excepthook` catches whatever else raises in a node that was not
wrapped.

    python examples/recipes/logging_failures.py
"""

import functools
import logging
import sys
from types import TracebackType
from typing import Any, Callable, Dict, Optional, Type

import pelmo

Values = Dict[str, Any]
Node = Callable[[Values], Values]

log = logging.getLogger("pipeline")


def logged(label: str, logger: logging.Logger = log) -> Callable[[Node], Node]:
    def decorate(function: Node) -> Node:
        @functools.wraps(function)
        def node(inputs: Values) -> Values:
            try:
                return function(inputs)
            except Exception:
                logger.exception("node %s failed", label)
                return {}

        return node

    return decorate


def log_uncaught(kind: Type[BaseException], error: BaseException, traceback: Optional[TracebackType]) -> None:
    log.error("a node failed", exc_info=(kind, error, traceback))


def fetch(inputs: Values) -> Values:
    raise ConnectionError(f"{inputs['url']} did not answer")


def build_graph() -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(lambda _: {"url": "http://127.0.0.1:9/data"}, "Config", outputs={"url": "url"})
    graph.add(logged("Fetch")(fetch), "Fetch", inputs={"url": "url"}, outputs={"body": "body"})
    graph.add(lambda d: {"size": len(d["body"])}, "Measure", inputs={"body": "body"}, outputs={"size": "size"})
    return graph.build()


def main() -> None:
    logging.basicConfig(stream=sys.stdout, level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    previous, sys.excepthook = sys.excepthook, log_uncaught
    try:
        context = build_graph().execute()
    finally:
        sys.excepthook = previous
    log.info("finished with %s", sorted(context))


if __name__ == "__main__":
    main()
