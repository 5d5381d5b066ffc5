"""A small pipeline: load readings, clean them, sweep a scaling factor over
the cleaned data, and keep an audit on a side branch.

Run it with `make demo` (or `python examples/pipeline.py` once pelmo is
installed). It executes the DAG sequentially and in parallel and prints both
results and the Mermaid text of the graph.
"""

import json
import statistics
from typing import Any, Callable, Dict

import pelmo

# What a node receives and what it returns.
Values = Dict[str, Any]


def load(_inputs: Values) -> Values:
    return {"readings": [3.0, 4.5, None, 5.25, 120.0, 4.75, 5.0]}


def clean(inputs: Values) -> Values:
    values = [v for v in inputs["raw"] if v is not None]
    median = statistics.median(values)
    return {"values": [v for v in values if abs(v - median) < 10 * median / 2]}


FACTORS = (0.5, 1.0, 2.0)


def scaler(factor: float) -> Callable[[Values], Values]:
    # Variants share one output mapping; each returns only its own name, so
    # every factor's result reaches the context under a name of its own.
    def scale(inputs: Values) -> Values:
        return {f"x{factor}": round(statistics.fmean(inputs["values"]) * factor, 3)}

    return scale


def audit(inputs: Values) -> Values:
    return {"report": f"{len(inputs['raw'])} readings loaded"}


def build_graph() -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(load, "Load", outputs=[("readings", "raw")])
    graph.add(clean, "Clean", inputs=[("raw", "raw")], outputs=[("values", "clean")])

    graph.variants(
        [scaler(f) for f in FACTORS],
        "Scale",
        inputs=[("clean", "values")],
        outputs=[(f"x{f}", f"mean_x{f}") for f in FACTORS],
    )

    # A branch right after the sweep hangs off Clean, beside the variants.
    side = pelmo.Graph()
    side.add(audit, "Audit", inputs={"raw": "raw"}, outputs={"report": "audit"})
    graph.branch(side)
    return graph.build()


def main() -> None:
    dag = build_graph()
    print(f"nodes: {dag.node_count()}")
    sequential = dag.execute()
    print("sequential:", json.dumps(sequential, sort_keys=True))
    parallel = dag.execute(parallel=True, max_threads=4)
    print("parallel:  ", json.dumps(parallel, sort_keys=True))
    print()
    print(dag.to_mermaid(), end="")


if __name__ == "__main__":
    main()
