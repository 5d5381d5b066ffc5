"""A sales pipeline: load a small synthetic order log, clean it, run two
analyses side by side (per-category totals and outlier detection), then
combine them into a report.

Run it with `python examples/data_pipeline.py` once pelmo is installed. It
prints the report and the Mermaid text of the graph.
"""

import statistics
from typing import Any, Dict, List, Set

import pelmo

# What a node receives and what it returns.
Values = Dict[str, Any]

# Deliberately untidy, the way order exports usually are: stray whitespace
# and case in categories, amounts as strings, a missing amount, a duplicated
# order id and a refund (negative amount) that must not count as a sale.
ORDERS: List[Dict[str, Any]] = [
    {"id": 1, "category": "books", "amount": "12.50"},
    {"id": 2, "category": " Games", "amount": "59.99"},
    {"id": 3, "category": "books", "amount": "8.00"},
    {"id": 4, "category": "garden", "amount": "23.10"},
    {"id": 5, "category": "BOOKS", "amount": None},
    {"id": 6, "category": "games", "amount": "44.00"},
    {"id": 3, "category": "books", "amount": "8.00"},
    {"id": 7, "category": "garden", "amount": "-23.10"},
    {"id": 8, "category": "garden", "amount": "640.00"},
    {"id": 9, "category": "books", "amount": "15.25"},
    {"id": 10, "category": "garden", "amount": "31.40"},
    {"id": 11, "category": "games", "amount": "52.00"},
    {"id": 12, "category": "books", "amount": "11.75"},
]

# A sale is an outlier when it lies further than this many median absolute
# deviations from the median; the MAD keeps one huge order from hiding itself
# by inflating the spread, which a standard deviation would let it do.
OUTLIER_MADS = 5.0


def load(_inputs: Values) -> Values:
    # Shallow copies, so cleaning can never reach back into the module data.
    return {"rows": [dict(row) for row in ORDERS]}


def clean(inputs: Values) -> Values:
    seen: Set[int] = set()
    rows = []
    for row in inputs["raw"]:
        if row["id"] in seen or row["amount"] is None:
            continue
        amount = float(row["amount"])
        if amount <= 0:
            continue
        seen.add(row["id"])
        rows.append({"id": row["id"], "category": row["category"].strip().lower(), "amount": amount})
    return {"rows": rows, "dropped": len(inputs["raw"]) - len(rows)}


def category_totals(inputs: Values) -> Values:
    totals: Dict[str, float] = {}
    for row in inputs["rows"]:
        totals[row["category"]] = round(totals.get(row["category"], 0.0) + row["amount"], 2)
    return {"totals": dict(sorted(totals.items()))}


def outliers(inputs: Values) -> Values:
    amounts = [row["amount"] for row in inputs["rows"]]
    median = statistics.median(amounts)
    mad = statistics.median(abs(a - median) for a in amounts)
    flagged = [row["id"] for row in inputs["rows"] if abs(row["amount"] - median) > OUTLIER_MADS * mad]
    return {"ids": flagged, "median": median}


def build_report(context: Values) -> str:
    # The report combines both analyses, so it is computed from the finished
    # context: a node added after the branches would hang off Clean, beside
    # them, and in parallel mode could run before either analysis is done.
    lines = [f"{len(context['clean'])} orders kept, {context['dropped']} dropped"]
    for category, total in context["totals"].items():
        lines.append(f"  {category:<8}{total:>9.2f}")
    lines.append(f"median order {context['median']:.2f}; outliers: {context['outliers'] or 'none'}")
    return "\n".join(lines)


def build_graph() -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(load, "Load", outputs={"rows": "raw"})
    graph.add(clean, "Clean", inputs={"raw": "raw"}, outputs={"rows": "clean", "dropped": "dropped"})

    # Both analyses read only the cleaned rows, so they hang off Clean as
    # two side paths and share a level.
    totals = pelmo.Graph()
    totals.add(category_totals, "Totals", inputs={"clean": "rows"}, outputs={"totals": "totals"})
    graph.branch(totals)

    spikes = pelmo.Graph()
    spikes.add(outliers, "Outliers", inputs={"clean": "rows"}, outputs={"ids": "outliers", "median": "median"})
    graph.branch(spikes)
    return graph.build()


def run(parallel: bool = False) -> Values:
    context = build_graph().execute(parallel=parallel, max_threads=2)
    context["report"] = build_report(context)
    return context


def main() -> None:
    context = run()
    print(context["report"])
    print()
    print(build_graph().to_mermaid(), end="")


if __name__ == "__main__":
    main()
