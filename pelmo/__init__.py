"""Directed acyclic graphs of Python callables: build one with Graph, run it as a Dag"""

from ._pelmo import Dag, Graph
from ._records import Finding, Node, NodeError
from ._check import check

__all__ = ["Graph", "Dag", "Node", "NodeError", "Finding", "check"]
