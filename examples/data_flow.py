"""How data flows through a Dag.

Dependencies come from the graph's shape; names flow through the context.
Here Summarise reads "count", which Count writes, but Count runs beside
Summarise, on a side path, not before it: sequentially Summarise happens to
run after Count and sees the count, in parallel both run in one level and
Summarise sees none. pelmo.check finds this without running anything, and
putting Count on the main line, before Summarise, settles it.

    python examples/data_flow.py
"""

from typing import Any, Dict

import pelmo

Values = Dict[str, Any]


def load(_inputs: Values) -> Values:
    return {"rows": [3, 1, 2]}


def count(inputs: Values) -> Values:
    return {"n": len(inputs["rows"])}


def summarise(inputs: Values) -> Values:
    return {"line": f"{inputs.get('count', '?')} rows, largest {max(inputs['rows'])}"}


def build_graph(count_first: bool = False) -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(load, "Load", outputs={"rows": "rows"})
    if count_first:
        graph.add(count, "Count", inputs={"rows": "rows"}, outputs={"n": "count"})
    else:
        side = pelmo.Graph()
        side.add(count, "Count", inputs={"rows": "rows"}, outputs={"n": "count"})
        graph.branch(side)
    graph.add(summarise, "Summarise", inputs={"rows": "rows", "count": "count"}, outputs={"line": "summary"})
    return graph.build()


def main() -> None:
    for count_first in (False, True):
        dag = build_graph(count_first)
        print("Count before Summarise:" if count_first else "Count beside Summarise:")
        print("  sequential:", dag.execute(outputs=["summary"])["summary"])
        print("  parallel:  ", dag.execute(parallel=True, outputs=["summary"])["summary"])
        for finding in pelmo.check(dag):
            print(f"  check: {finding.kind}: {finding.message}")
    print()
    print(build_graph().to_mermaid(), end="")


if __name__ == "__main__":
    main()
