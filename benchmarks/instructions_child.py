"""One child of instructions.py, run under callgrind: `instructions_child.py
WORKLOAD N RUNS` sets up an N-node chain and runs it RUNS times.

Kept apart from instructions.py and importing only pelmo, so that the
instructions the parent's own imports would cost (hundreds of millions under
callgrind) do not slow every child down.
"""

import gc
import os
import sys

import chains


def pelmo_chain(naming, **options):
    def set_up(n):
        dag = chains.build_pelmo_chain(naming(chains.make_increments(n)))
        return lambda: dag.execute(**options)

    return set_up


def tight_loop(naming):
    def set_up(n):
        edges = naming(chains.make_increments(n))
        return lambda: chains.run_tight_loop(edges)

    return set_up


def run_node_loop(n):
    nodes = chains.plain_nodes(chains.fresh_names(chains.make_increments(n)))
    return lambda: chains.run_node_loop(nodes)


WORKLOADS = {
    "a": ("pelmo Dag.execute(), sequential, fresh names", pelmo_chain(chains.fresh_names)),
    # Every run option given, none changing what the chain does: what the
    # options themselves cost a node.
    "a-options": ("pelmo Dag.execute(inputs=..., outputs=None, on_error=\"raise\"), fresh names",
                  pelmo_chain(chains.fresh_names, inputs={"unused": 0}, outputs=None, on_error="raise")),
    "b": ("pelmo Dag.execute(), sequential, shared names", pelmo_chain(chains.shared_names)),
    "c": ("hand-written tight loop, fresh names (the floor)", tight_loop(chains.fresh_names)),
    "c-shared": ("hand-written tight loop, shared names", tight_loop(chains.shared_names)),
    "d": ("Python loop with a run_node call per node, fresh names", run_node_loop),
}


def main(workload, size, runs):
    # Collections while setting up would only slow the child down; the run
    # itself has the collector on, as a user's program has.
    gc.disable()
    # A sequential pelmo run enters Python code 64 times per switch interval
    # of wall time, and under callgrind that time passes some 50 times more
    # slowly per node: an interval 50 times the default keeps those calls as
    # rare per node as they are outside valgrind. The loops never look.
    sys.setswitchinterval(50 * sys.getswitchinterval())
    run = WORKLOADS[workload][1](size)
    gc.collect()
    gc.freeze()
    gc.enable()
    for _ in range(runs - 1):
        run()
    # Only the last result is kept, in both children alike. Whatever the
    # names, node i computes i + 1, so the largest value is the chain's length.
    result = run()
    if max(result.values()) != size:
        print(f"{workload}: wrong result at N = {size}", file=sys.stderr)
        os._exit(1)
    # Tearing the interpreter down would only add instructions to count.
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
