"""Reference counts and memory stay flat over many runs; dropping a Dag frees its callables."""

import collections
import gc
import os
import sys
import time
import tracemalloc
import weakref

import pytest

import pelmo
from support import MODES, assert_clean_exit, run_python

WIDTH = 9
CHAIN = 10
# Every parallel run starts and joins a worker team; `make check-stress` asks for the full count.
# Under a preloaded sanitizer the allocator keeps freed memory in quarantine
# and the interpreter allocates differently: only counts are compared there.
SANITIZED = "san.so" in os.environ.get("LD_PRELOAD", "")
PARALLEL_RUNS = 10_000 if os.environ.get("PELMO_STRESS") == "1" else 1_000


class Sink:
    """A stderr that keeps nothing, so the printed failures cost no memory."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


class Held:
    """Objects that flow through the DAG and are also held here, so their counts can be read."""

    def __init__(self):
        self.sentinel = object()
        self.result = ["result"]
        self.returned = {"o": "kept", "r": self.result}
        self.not_a_dict = ["not", "a", "dict"]
        self.error_argument = object()
        self.exit_code = object()

    def counts(self, callables):
        names = ("sentinel", "result", "returned", "not_a_dict", "error_argument", "exit_code")
        counts = {name: sys.getrefcount(getattr(self, name)) for name in names}
        counts.update({f"callable {i}": sys.getrefcount(function) for i, function in enumerate(callables)})
        return counts


def wide_dag(held):
    """A root, WIDTH variants, then CHAIN steps repeated per variant path: 100 nodes.

    One step raises and one returns a non-dict, so a tenth of the nodes fail each way.
    """

    def root(inputs):
        return {"s": held.sentinel, "r": held.result}

    def variant(inputs):
        return {"o": inputs["s"]}

    def step(inputs):
        return {"o": (inputs.get("s"), inputs.get("o")), "r": held.result}

    def fixed(inputs):
        return held.returned

    def raises(inputs):
        raise ValueError(held.error_argument)

    def not_a_dict(inputs):
        return held.not_a_dict

    steps = [step] * (CHAIN - 3) + [fixed, raises, not_a_dict]
    graph = pelmo.Graph()
    graph.add(root, outputs={"s": "s", "r": "r"})
    graph.variants([variant] * WIDTH, inputs={"s": "s"}, outputs={"o": "o"})
    for function in steps:
        graph.add(function, inputs={"s": "s", "o": "o"}, outputs={"o": "o", "r": "r"})
    dag = graph.build()
    assert dag.node_count() == 1 + WIDTH + WIDTH * CHAIN == 100
    return dag, [root, variant, step, fixed, raises, not_a_dict]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Footprint:
    """Python-level traced memory, allocated blocks and, where /proc exists, resident size."""

    def __init__(self):
        gc.collect()
        self.traced = tracemalloc.get_traced_memory()[0]
        self.blocks = sys.getallocatedblocks()
        self.resident = resident_bytes() if os.path.exists("/proc/self/statm") else 0

    def growth_since(self, earlier):
        return {
            "traced": self.traced - earlier.traced,
            "blocks": self.blocks - earlier.blocks,
            "resident": self.resident - earlier.resident,
        }


@pytest.fixture
def quiet_stderr(monkeypatch):
    monkeypatch.setattr(sys, "stderr", Sink())


@pytest.fixture
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.long
@pytest.mark.usefixtures("quiet_stderr", "traced")
class TestRepeatedRuns:
    # The interpreter's display of a failure costs ten to forty times a
    # sequential run of this Dag, so the longest loop gives the failures to
    # a hook that counts them; the display (the default hook's, which pytest
    # may have replaced) has a thousand runs in each mode, where one object
    # kept per failure would show as 9,000 blocks.
    @pytest.mark.parametrize(
        "parallel, runs, hook",
        [(False, 10_000, "counting"), (False, 1_000, "display"), (True, PARALLEL_RUNS, "display")],
        ids=["sequential", "sequential-display", "parallel"],
    )
    def test_nothing_accumulates(self, parallel, runs, hook, monkeypatch):
        held = Held()
        dag, callables = wide_dag(held)
        reported = collections.Counter()
        if hook == "counting":
            monkeypatch.setattr(sys, "excepthook", lambda kind, value, traceback: reported.update((kind,)))
        else:
            monkeypatch.setattr(sys, "excepthook", sys.__excepthook__)
        expected = dag.execute(parallel=parallel)
        assert expected["r"] is held.result
        for _ in range(50):
            dag.execute(parallel=parallel)
        del expected

        counts = held.counts(callables)
        reported.clear()
        before = Footprint()
        for _ in range(runs):
            dag.execute(parallel=parallel)
        growth = Footprint().growth_since(before)

        assert held.counts(callables) == counts
        if hook == "counting":
            # The nodes returning no dict are reported by a line on stderr.
            assert reported == {ValueError: WIDTH * runs}
        # One leaked object per run would show as `runs` blocks.
        assert growth["blocks"] < runs // 2, growth
        if not SANITIZED:
            assert growth["traced"] < 32 * 1024, growth
            # Native allocations are invisible to tracemalloc; a per-node leak would be tens of MB.
            assert growth["resident"] < 8 * 1024 * 1024, growth

    @MODES
    def test_runs_ended_by_system_exit(self, parallel):
        held = Held()

        def leave(inputs):
            raise SystemExit(held.exit_code)

        def sibling(inputs):
            # Its results are thrown away with the level that the exit ends.
            time.sleep(0.0005)
            return held.returned

        def later(inputs):
            raise AssertionError("ran after the exit")

        graph = pelmo.Graph()
        graph.add(lambda inputs: {"s": held.sentinel}, outputs={"s": "s"})
        graph.variants([sibling, leave, sibling], inputs={"s": "s"}, outputs={"o": "o", "r": "r"})
        graph.add(later)
        dag = graph.build()
        callables = [leave, sibling, later]

        def run(times):
            for _ in range(times):
                with pytest.raises(SystemExit) as raised:
                    dag.execute(parallel=parallel)
                assert raised.value.code is held.exit_code
                del raised

        run(20)
        counts = held.counts(callables)
        before = Footprint()
        run(1_000)
        growth = Footprint().growth_since(before)

        assert held.counts(callables) == counts
        assert growth["blocks"] < 500, growth
        if not SANITIZED:
            assert growth["traced"] < 32 * 1024, growth


class TestRelease:
    class Node:
        def __call__(self, inputs):
            return {"y": 1}

    def test_dropping_graph_and_dag_frees_the_callables(self):
        node = self.Node()
        alive = weakref.ref(node)
        graph = pelmo.Graph()
        graph.add(node, outputs={"y": "y"})
        graph.variants([node, node])
        dag = graph.build()
        dag.execute(parallel=True)
        del node
        gc.collect()
        assert alive() is not None
        del dag, graph
        gc.collect()
        assert alive() is None

    def test_dag_outlives_its_graph(self):
        node = self.Node()
        alive = weakref.ref(node)
        graph = pelmo.Graph()
        graph.add(node, outputs={"y": "y"})
        dag = graph.build()
        del graph, node
        gc.collect()
        assert alive() is not None
        assert dag.execute() == {"y": 1}
        del dag
        gc.collect()
        assert alive() is None

    def test_unbuilt_graph_frees_its_callables(self):
        node = self.Node()
        alive = weakref.ref(node)
        graph = pelmo.Graph()
        graph.add(node)
        side = pelmo.Graph()
        side.add(node)
        graph.branch(side)
        del graph, side, node
        gc.collect()
        assert alive() is None

    @MODES
    def test_function_count_returns_to_its_baseline(self, parallel):
        def function(inputs):
            return {"y": inputs}

        baseline = sys.getrefcount(function)
        graph = pelmo.Graph()
        graph.add(function, outputs={"y": "y"})
        graph.variants([function] * 3, outputs={"y": "y"})
        dag = graph.build()
        result = dag.execute(parallel=parallel)
        assert sys.getrefcount(function) > baseline
        del dag, graph, result
        gc.collect()
        assert sys.getrefcount(function) == baseline


class Pipeline:
    """Its nodes are its own bound methods, and it keeps what it made of them: a reference cycle."""

    finalised = []

    def __init__(self, keep):
        self.name = keep.__name__
        keep(self)

    def load(self, inputs):
        return {"x": 1}

    def step(self, inputs):
        return {"y": inputs["x"] + 1}

    def __del__(self):
        Pipeline.finalised.append(self.name)


def keep_dag(pipeline):
    graph = pelmo.Graph()
    graph.add(pipeline.load, outputs={"x": "x"})
    graph.variants([pipeline.step, pipeline.step], inputs={"x": "x"}, outputs={"y": "y"})
    pipeline.dag = graph.build()
    assert pipeline.dag.execute() == {"x": 1, "y": 2}


def keep_graph(pipeline):
    pipeline.graph = pelmo.Graph()
    pipeline.graph.add(pipeline.load, outputs={"x": "x"})
    pipeline.graph.variants([pipeline.step, pipeline.step])


def keep_records(pipeline):
    # One subgraph stored whole (received while empty), one copied at the
    # branch point and stored too, and one nested inside another.
    pipeline.graph = pelmo.Graph()
    unattached = pelmo.Graph()
    unattached.add(pipeline.load)
    pipeline.graph.branch(unattached)
    pipeline.graph.add()
    attached = pelmo.Graph()
    attached.add(pipeline.step)
    holder = pelmo.Graph()
    holder.branch(attached)
    pipeline.graph.branch(holder)


class TestCycles:
    @pytest.fixture(autouse=True)
    def no_automatic_collection(self):
        gc.collect()
        Pipeline.finalised.clear()
        gc.disable()
        yield
        gc.enable()

    @pytest.mark.parametrize("keep", [keep_dag, keep_graph, keep_records])
    def test_pipeline_keeping_its_own_graph_or_dag_is_collected(self, keep):
        pipeline = Pipeline(keep)
        alive = weakref.ref(pipeline)
        del pipeline
        assert alive() is not None  # only the collector can free a cycle
        gc.collect()
        assert alive() is None
        assert Pipeline.finalised == [keep.__name__]

    def test_each_reference_is_shown_to_the_collector_once(self):
        # Functions are shared by variant paths, branch copies and stored
        # subgraphs; each strong reference must be visited exactly once.
        def f(inputs):
            return {}

        def h(inputs):
            return {}

        graph = pelmo.Graph()
        graph.add(f)
        graph.variants([h, h, f])
        graph.add(f)
        side = pelmo.Graph()
        side.add(h)
        graph.branch(side)
        holder = pelmo.Graph()
        nested = pelmo.Graph()
        nested.add(f)
        holder.branch(nested)
        graph.branch(holder)
        # One reference per distinct callable of each graph that made nodes:
        # graph's own f and h, side's h, nested's f.
        expected = {f: 2, h: 2, pelmo.Graph: 1}

        def counts(obj):
            return dict(collections.Counter(gc.get_referents(obj)))

        assert counts(graph) == expected
        assert counts(side) == counts(holder) == counts(nested) == {pelmo.Graph: 1}
        dag = graph.build()
        assert dag.node_count() == 1 + 3 + 3 + 3 + 1
        assert counts(graph) == {pelmo.Graph: 1}
        assert counts(dag) == {f: 2, h: 2, pelmo.Dag: 1}

    @pytest.mark.long
    @MODES
    def test_collector_on_another_thread_during_runs(self, parallel):
        # In a child of its own, where a collection takes a fraction of a
        # millisecond: in a pytest worker it walks Hypothesis's and dask's
        # objects too. The collector sleeps between collections, as a
        # collector that only yields would have the lock nearly all the
        # time, and the run's threads would wait seconds for it.
        code = f"""
            import gc, threading
            parallel = {parallel}
            holder = Pipeline(keep_dag)
            stop = threading.Event()
            collections = [0]

            def collect():
                while not stop.is_set():
                    gc.collect()
                    collections[0] += 1
                    time.sleep(0.0005)

            def make_garbage(inputs):
                cycle = [inputs]
                cycle.append(cycle)
                return {{"z": len(cycle)}}

            graph = pelmo.Graph()
            graph.add(holder.load, outputs={{"x": "x"}})
            graph.variants([holder.step, make_garbage] * 4, inputs={{"x": "x"}}, outputs={{"y": "y", "z": "z"}})
            graph.add(make_garbage, inputs={{"y": "x"}}, outputs={{"z": "w"}})
            holder.extra = graph.build()
            collector = threading.Thread(target=collect)
            collector.start()
            runs = 0
            try:
                while runs < 50 or collections[0] < 200:
                    assert holder.extra.execute(parallel=parallel) == {{"x": 1, "y": 2, "z": 2, "w": 2}}
                    assert holder.dag.execute(parallel=parallel) == {{"x": 1, "y": 2}}
                    runs += 1
            finally:
                stop.set()
                collector.join()
            print("done")
        """
        done = run_python(code, Pipeline, keep_dag)
        assert_clean_exit(done)
        assert done.stdout == "done\n", done.stderr


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_total_reference_count_comes_back(quiet_stderr):
    # Every reference the module takes, on any thread, is given back: the
    # interpreter's own total returns to where it was.
    graph = pelmo.Graph()
    graph.add(lambda d: {"s": object()}, outputs={"s": "s"})
    functions = []
    for index in range(100):
        if index % 10 == 0:
            functions.append(lambda d: 1 / 0)
        elif index % 10 == 1:
            functions.append(lambda d: [1])
        else:
            functions.append(lambda d, index=index: {"r": [index], "x": d["s"]})
    graph.variants(functions, "v", inputs={"s": "s"}, outputs={"r": "r"})
    dag = graph.build()

    def run(count, parallel):
        for _ in range(count):
            dag.execute(parallel=parallel)

    run(20, False)
    run(5, True)
    gc.collect()
    start = sys.gettotalrefcount()
    run(2_000, False)
    run(200, True)
    gc.collect()
    # A few references of the loop itself may differ; a leak would be
    # thousands.
    assert abs(sys.gettotalrefcount() - start) < 50
