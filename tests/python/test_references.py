"""Reference counts and memory stay flat over many runs, failures included."""

import gc
import io
import os
import sys
import tracemalloc
import weakref

import pytest

import pelmo


class Sentinel:
    """An input object whose reference count the test watches."""


def build_mixed_dag(sentinel, results, width=100):
    """A root handing out `sentinel`, then `width` nodes in one level: a tenth
    raise, a tenth return non-dicts, the rest return `results[i % len]`."""
    callables = []

    def root(_inputs):
        return {"s": sentinel}

    def raising(_inputs):
        raise ValueError("planned failure")

    def not_a_dict(_inputs):
        return [("r", 1)]

    def healthy(index):
        def call(inputs):
            assert inputs["s"] is sentinel
            return {"r": results[index % len(results)], "ignored": index}

        return call

    functions = []
    for index in range(width):
        if index % 10 == 0:
            functions.append(raising)
        elif index % 10 == 1:
            functions.append(not_a_dict)
        else:
            functions.append(healthy(index))
    callables.extend([root, *functions])

    graph = pelmo.Graph()
    graph.add(root, "root", outputs={"s": "shared"})
    graph.variants(functions, "node", inputs={"shared": "s"}, outputs={"r": "result"})
    return graph.build(), callables


@pytest.fixture
def quiet_stderr(monkeypatch):
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    return lambda: sys.stderr.truncate(0) or sys.stderr.seek(0)


# A parallel run starts a thread per node; the full count is for PELMO_STRESS=1.
PARALLEL_RUNS = 10_000 if os.environ.get("PELMO_STRESS") == "1" else 300


@pytest.mark.parametrize("parallel,runs", [(False, 10_000), (True, PARALLEL_RUNS)])
def test_repeated_runs_leak_nothing(parallel, runs, quiet_stderr):
    sentinel = Sentinel()
    results = [object() for _ in range(3)]
    dag, callables = build_mixed_dag(sentinel, results)

    def run_many(count):
        for _ in range(count):
            out = dag.execute(parallel=parallel, max_threads=16)
            assert out["shared"] is sentinel
            assert out["result"] in results
            quiet_stderr()
        del out

    run_many(20)
    gc.collect()
    counts = [sys.getrefcount(o) for o in (sentinel, *results, *callables)]
    blocks = sys.getallocatedblocks()
    tracemalloc.start()
    try:
        before, _ = tracemalloc.get_traced_memory()
        run_many(runs)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in (sentinel, *results, *callables)] == counts
    assert after - before < 64 * 1024
    assert sys.getallocatedblocks() - blocks < 1_000


def test_dropping_the_dag_releases_its_callables():
    class Callable:
        def __call__(self, inputs):
            return {"x": 1}

    function = Callable()
    alive = weakref.ref(function)
    graph = pelmo.Graph()
    graph.add(function, outputs={"x": "x"})
    graph.variants([function, function])
    dag = graph.build()
    assert dag.execute(parallel=True) == {"x": 1}
    del function, graph
    gc.collect()
    assert alive() is not None
    del dag
    gc.collect()
    assert alive() is None


def test_system_exit_leaks_nothing(quiet_stderr):
    sentinel = Sentinel()

    def exit_now(inputs):
        assert inputs["s"] is sentinel
        raise SystemExit(4)

    graph = pelmo.Graph()
    graph.add(lambda _: {"s": sentinel}, outputs={"s": "s"})
    graph.variants([exit_now, lambda d: {"k": sentinel}], inputs={"s": "s"}, outputs={"k": "k"})
    dag = graph.build()
    for parallel in (False, True):
        with pytest.raises(SystemExit):
            dag.execute(parallel=parallel)
    gc.collect()
    before = sys.getrefcount(sentinel)
    for parallel in (False, True) * 200:
        with pytest.raises(SystemExit) as raised:
            dag.execute(parallel=parallel)
        assert raised.value.code == 4
        del raised
    gc.collect()
    assert sys.getrefcount(sentinel) == before
