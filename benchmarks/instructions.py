"""Instructions per node of a chain run, counted by valgrind's callgrind.

Wall time on a shared VM swings by tens of percent; an instruction count is
the same from run to run within a few parts per million, so it shows what a
change to the execution core costs or saves per node.

How a figure is obtained, with no collection toggles: for each size N a child
interpreter under `valgrind --tool=callgrind` does the set-up (makes the
callables and builds the graph or the loop's edge list) and then runs the
chain once; a second child does the identical set-up and runs it twice. The
difference of the two totals is one run, warm, including freeing its result.
The difference of that across two sizes, divided by the extra nodes, removes
what a run costs whatever its size, leaving instructions per node. Toggling
collection on pelmo's execute entry point would give the same, but it depends
on a symbol name inside the module that the core's rewrite is free to change,
and it would not apply to the hand-written loops at all.

The children run with PYTHONHASHSEED=0 and with the set-up's objects frozen
out of the garbage collector (gc.freeze), so a collection during a run scans
only what the run made and all workloads pay alike.

Writes every total to results/instructions.json next to this file.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Sequence

from instructions_child import WORKLOADS

HERE = Path(__file__).resolve().parent

SIZES = (20_000, 40_000)


def callgrind_total(workload: str, size: int, runs: int, out_dir: Path) -> int:
    out_file = out_dir / f"callgrind.{workload}.{size}.{runs}.out"
    command = [
        "valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
        sys.executable, str(HERE / "instructions_child.py"), workload, str(size), str(runs),
    ]
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    completed = subprocess.run(command, capture_output=True, text=True, env=env, cwd=HERE)
    if completed.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed:\n{completed.stderr[-2000:]}")
    match = re.search(r"^totals:\s*(\d+)", out_file.read_text(), re.MULTILINE)
    if match is None:
        raise RuntimeError(f"no totals line in {out_file}")
    return int(match.group(1))


def valgrind_version() -> str:
    return subprocess.run(["valgrind", "--version"], capture_output=True, text=True, check=True).stdout.strip()


def cpu_model() -> str:
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def git_commit() -> str:
    completed = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True, cwd=HERE)
    return completed.stdout.strip() or "unknown"


def measure(jobs: int, sizes: Sequence[int]) -> dict[str, dict]:
    labels = {key: label for key, (label, _) in WORKLOADS.items()}
    # The largest first, so the two lanes finish together.
    jobs_list = [(w, n, runs) for n in sorted(sizes, reverse=True) for w in labels for runs in (2, 1)]
    with tempfile.TemporaryDirectory() as tmp, ThreadPoolExecutor(max_workers=jobs) as pool:
        totals = list(pool.map(lambda job: callgrind_total(*job, Path(tmp)), jobs_list))
    by_job = dict(zip(jobs_list, totals))
    small, large = sizes
    figures: dict[str, dict] = {}
    for key, label in labels.items():
        one_run = {n: by_job[(key, n, 2)] - by_job[(key, n, 1)] for n in sizes}
        figures[key] = {
            "label": label,
            "totals": {str(n): {str(runs): by_job[(key, n, runs)] for runs in (1, 2)} for n in sizes},
            "one_run": {str(n): one_run[n] for n in sizes},
            "per_node": (one_run[large] - one_run[small]) / (large - small),
        }
    return figures


def table(figures: dict[str, dict], sizes: Sequence[int]) -> str:
    small, large = sizes
    floor = figures["c"]["per_node"]
    lines = [
        f"| | workload | instructions per node | one run at N = {small:,} | one run at N = {large:,} "
        "| ratio to (c) |",
        "|---|---|---:|---:|---:|---:|",
    ]
    for key, f in figures.items():
        lines.append(
            f"| ({key}) | {f['label']} | {f['per_node']:,.0f} | {f['one_run'][str(small)]:,} | "
            f"{f['one_run'][str(large)]:,} | {f['per_node'] / floor:.2f} |"
        )
    return "\n".join(lines)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--jobs", type=int, default=2, help="children under valgrind at once (default 2)")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "instructions.json")
    args = parser.parse_args(argv)
    started = time.perf_counter()
    env = {
        "valgrind": valgrind_version(),
        "CPU": cpu_model(),
        "nproc": str(len(os.sched_getaffinity(0))),
        "Python": f"{platform.python_implementation()} {platform.python_version()}",
        "pelmo": importlib.metadata.version("pelmo"),
        "commit": git_commit(),
    }
    for key, value in env.items():
        print(f"{key}: {value}")
    small, large = SIZES
    print(f"callgrind, {len(WORKLOADS) * len(SIZES) * 2} children, {args.jobs} at a time ...", flush=True)
    figures = measure(args.jobs, SIZES)
    elapsed = time.perf_counter() - started
    print()
    print(f"Instructions per node = (I({large:,}) - I({small:,})) / {large - small:,}, where I(N) is one "
          "run of the chain (the total of a child running it twice less one running it once).")
    print()
    print(table(figures, SIZES))
    print()
    print(f"pelmo's ratio to the tight loop (c): fresh names (a)/(c) = "
          f"{figures['a']['per_node'] / figures['c']['per_node']:.2f}; shared names (b)/(c-shared) = "
          f"{figures['b']['per_node'] / figures['c-shared']['per_node']:.2f}")
    print(f"every run option given, against the defaults: (a-options)/(a) = "
          f"{figures['a-options']['per_node'] / figures['a']['per_node']:.4f}")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    record = {
        "environment": env,
        "command": "make bench-instructions",
        "method": "per node = ((I2(N2) - I1(N2)) - (I2(N1) - I1(N1))) / (N2 - N1); Ik(N) is callgrind's "
                  "total for a child that builds an N-node chain and runs it k times",
        "sizes": list(SIZES),
        "workloads": figures,
        "elapsed_seconds": elapsed,
    }
    args.out.write_text(json.dumps(record, indent=2) + "\n")
    print(f"wrote {args.out} in {elapsed:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
