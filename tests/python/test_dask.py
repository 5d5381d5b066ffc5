"""pelmo.dask: a Dag run as a dask task graph gives what a local parallel run
gives, on dask's in-process scheduler and on a real cluster of two worker
processes on loopback."""

import contextlib
import importlib.util
import io
import logging
import os
import sys
import threading
import zlib
from concurrent.futures import ThreadPoolExecutor

import pytest

hypothesis = pytest.importorskip("hypothesis")
# Looked for, not imported: a second of every worker's collection, which
# only the worker running the cluster tests needs.
if importlib.util.find_spec("distributed") is None:
    pytest.skip("dask.distributed is not installed", allow_module_level=True)
import dask  # noqa: E402
import dask.core  # noqa: E402
import dask.local  # noqa: E402
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

import pelmo  # noqa: E402
import pelmo.dask  # noqa: E402
from support import assert_clean_exit, run_python  # noqa: E402

# Names drawn from small pools, so that nodes share them: several writers of
# one name in a level, readers of names that a failure leaves unfilled.
CONTEXT = ["a", "b", "c", "d"]
RESULTS = ["r", "s", "t"]
ARGUMENTS = ["x", "y", "z"]
UNKNOWN = "q"  # mentioned by no node


class Behaviour:
    """A node's callable, picklable by reference, so the workers import it.
    What it returns depends on everything it was given, so a value that
    arrives from the wrong writer, or under the wrong name, changes every
    value after it."""

    def __init__(self, kind, tag):
        self.kind, self.tag = kind, tag

    def __call__(self, inputs):
        if self.kind == "raise":
            raise ValueError(self.tag)
        if self.kind == "not a dict":
            return [self.tag]
        # crc32, not hash(): the same on every worker process.
        value = f"{self.tag}:{zlib.crc32(repr(sorted(inputs.items())).encode()):08x}"
        if self.kind == "partial":
            # One of the results only, beside keys no output names.
            return {"r": value, 3: "not a str", "other": 1}
        return {name: f"{value}/{name}" for name in RESULTS}


KINDS = ["fills", "fills", "partial", "raise", "not a dict"]
input_pairs = st.lists(st.tuples(st.sampled_from(CONTEXT), st.sampled_from(ARGUMENTS)), max_size=3)
output_pairs = st.lists(st.tuples(st.sampled_from(RESULTS), st.sampled_from(CONTEXT)), max_size=3)
adds = st.tuples(st.just("add"), st.sampled_from([*KINDS, None]), input_pairs, output_pairs)
variants = st.tuples(st.just("variants"), st.lists(st.sampled_from(KINDS), max_size=3), input_pairs, output_pairs)
plans = st.recursive(
    st.lists(st.one_of(adds, variants), min_size=1, max_size=5),
    lambda inner: st.lists(st.one_of(adds, variants, st.tuples(st.just("branch"), inner)), min_size=1, max_size=5),
    max_leaves=4,
)
run_inputs = st.dictionaries(st.sampled_from([*CONTEXT, *ARGUMENTS, UNKNOWN]), st.integers(0, 9), max_size=3)
run_outputs = st.one_of(st.none(), st.lists(st.sampled_from([*CONTEXT, UNKNOWN]), max_size=3))


def fill(graph, plan, tags):
    for step, *rest in plan:
        if step == "add":
            kind, inputs, outputs = rest
            function = None if kind is None else Behaviour(kind, f"n{next(tags)}")
            graph.add(function, None, inputs, outputs)
        elif step == "variants":
            kinds, inputs, outputs = rest
            tag = next(tags)
            graph.variants([Behaviour(kind, f"n{tag}v{i}") for i, kind in enumerate(kinds)], f"n{tag}",
                           inputs, outputs)
        else:
            graph.branch(fill(pelmo.Graph(), rest[0], tags))
    return graph


def build(plan):
    return fill(pelmo.Graph(), plan, iter(range(10**6))).build()


def outcome(run):
    """What a run gave, in a form two runs can be compared by."""
    try:
        return ("result", list(run().items())), set()
    except pelmo.NodeError as error:
        # The level of a local run stops at its first failure, so nodes
        # after it may or may not have run: its `others` are a part of what
        # a cluster run, where the whole level runs, reports.
        cause = error.__cause__
        return ("error", error.node, error.label, type(cause), str(cause)), {o.node for o in error.others}
    except ValueError as error:
        return ("invalid", str(error).rpartition("'outputs'")[2]), set()


@contextlib.contextmanager
def reports():
    """What failing nodes report: the exceptions sys.excepthook receives,
    from any thread, and the text written to sys.stderr."""
    seen, stderr = [], io.StringIO()
    before = sys.excepthook
    sys.excepthook = lambda kind, value, traceback: seen.append((kind.__name__, str(value)))
    try:
        with contextlib.redirect_stderr(stderr):
            yield seen, stderr
    finally:
        sys.excepthook = before


def fuzz(examples):
    return settings(max_examples=examples, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def assert_same_outcome(local, remote):
    (local, local_others), (remote, remote_others) = local, remote
    assert remote == local
    assert local_others <= remote_others


@fuzz(150)
@given(plans, run_inputs, run_outputs, st.sampled_from(["print", "raise"]))
def test_in_process_run_matches_a_local_parallel_run(plan, inputs, outputs, on_error):
    dag = build(plan)
    options = dict(inputs=inputs, outputs=outputs, on_error=on_error)
    with reports() as (local_seen, local_stderr):
        local = outcome(lambda: dag.execute(parallel=True, **options))

    def run():
        graph, key = pelmo.dask.to_dask(dag, **options)
        return dask.local.get_sync(graph, key)

    with reports() as (remote_seen, remote_stderr):
        remote = outcome(run)
    assert_same_outcome(local, remote)
    if on_error == "print":
        # The threads of a local level report in the order they fail.
        assert sorted(remote_seen) == sorted(local_seen)
        assert sorted(remote_stderr.getvalue().splitlines()) == sorted(local_stderr.getvalue().splitlines())


# ---------------------------------------------------------------- on a cluster


# Its tests run on one worker under pytest-xdist, which then starts the
# cluster once.
ON_THE_CLUSTER = pytest.mark.xdist_group("cluster")


@pytest.fixture(scope="module")
def client():
    from dask.distributed import Client, LocalCluster

    # Worker processes, as a real cluster has: everything a task needs
    # travels pickled, and nothing is shared with the test process.
    cluster = LocalCluster(host="127.0.0.1", scheduler_port=0, n_workers=2, threads_per_worker=1,
                           processes=True, dashboard_address=None, silence_logs=logging.CRITICAL)
    client = Client(cluster)
    try:
        # What nodes report in print mode stays on the workers, out of the
        # suite's output.
        client.run(keep_stderr)
        workers = client.scheduler_info()["workers"]
        assert len(workers) == 2
        assert all(a.startswith("tcp://127.0.0.1:") for a in [cluster.scheduler_address, *workers])
        yield client
    finally:
        client.close()
        cluster.close()


def keep_stderr():
    sys.stderr = io.StringIO()


def within(seconds, function, *args, **kwargs):
    """Calls `function`, failing the test instead of hanging when a cluster
    that lost a worker never answers."""
    pool = ThreadPoolExecutor(1)
    try:
        return pool.submit(function, *args, **kwargs).result(timeout=seconds)
    finally:
        pool.shutdown(wait=False)


@ON_THE_CLUSTER
@fuzz(25)
@given(plans, run_inputs, run_outputs, st.sampled_from(["print", "raise"]))
def test_cluster_run_matches_a_local_parallel_run(client, plan, inputs, outputs, on_error):
    dag = build(plan)
    options = dict(inputs=inputs, outputs=outputs, on_error=on_error)
    with reports():
        local = outcome(lambda: dag.execute(parallel=True, **options))
    remote = outcome(lambda: within(60, pelmo.dask.execute, dag, client, **options))
    assert_same_outcome(local, remote)


def big(inputs):
    return {"blob": bytes(8_000_000)}


def length(inputs):
    return {"n": len(inputs["blob"])}


@ON_THE_CLUSTER
@pytest.mark.parametrize("outputs, sent_at_least, sent_at_most", [
    (["length"], 0, 10_000),
    # The check itself: asked for, the value does travel.
    (None, 8_000_000, 8_100_000),
], ids=["asked-for-name-only", "whole-context"])
def test_only_the_result_leaves_the_workers(client, outputs, sent_at_least, sent_at_most):
    graph = pelmo.Graph()
    graph.add(big, "Big", outputs={"blob": "blob"})
    graph.add(length, "Length", inputs={"blob": "blob"}, outputs={"n": "length"})
    dag = graph.build()
    workers = set(client.scheduler_info()["workers"])

    # The workers' own log of the data they sent, each entry with its
    # destination: another worker, or else the client (or the scheduler
    # gathering for it).
    def sent(dask_worker):
        return [(entry["who"], entry["total"]) for entry in dask_worker.transfer_outgoing_log]

    before = client.run(sent)
    result = within(60, pelmo.dask.execute, dag, client, outputs=outputs)
    after = client.run(sent)
    assert result["length"] == 8_000_000
    to_caller = sum(total for worker, log in after.items()
                    for who, total in log[len(before[worker]):] if who not in workers)
    assert sent_at_least <= to_caller <= sent_at_most


def where(inputs):
    return {"pid": os.getpid()}


@ON_THE_CLUSTER
@pytest.mark.parametrize("scheduler, on_cluster", [(None, True), ("sync", False)],
                         ids=["default-client", "configured-scheduler"])
def test_without_a_client_runs_on_dasks_current_scheduler(client, scheduler, on_cluster):
    # The module's client is the default one, as a Client is once made.
    graph = pelmo.Graph()
    graph.add(where, outputs={"pid": "pid"})
    dag = graph.build()
    with dask.config.set(scheduler=scheduler):
        pid = within(60, pelmo.dask.execute, dag)["pid"]
    assert (pid != os.getpid()) == on_cluster


@ON_THE_CLUSTER
def test_a_callable_that_cannot_be_pickled_fails_with_dasks_error_naming_the_node(client):
    lock = threading.Lock()

    def holds_a_lock(inputs):
        with lock:
            return {}

    graph = pelmo.Graph()
    graph.add(holds_a_lock, "Locked")
    with pytest.raises(TypeError, match="Could not serialize") as raised:
        within(60, pelmo.dask.execute, graph.build(), client)
    assert "node 0 ('Locked')" in str(raised.value)


# ---------------------------------------------------------------- the graph


def shape(dag):
    """The number of tasks and of dependency edges of the graph."""
    graph, key = pelmo.dask.to_dask(dag)
    edges = sum(len(dask.core.get_dependencies(graph, k)) for k in graph)
    return graph, key, len(graph), edges


def step(inputs):
    return {"x": inputs.get("x", 0) + 1}


def constant(inputs):
    return {"x": 1}


def chain_of_writers(count):
    graph = pelmo.Graph()
    for _ in range(count):
        graph.add(constant, outputs={"x": "x"})
    return graph.build(), {"x": 1}


def chain_of_steps(count):
    graph = pelmo.Graph()
    for _ in range(count):
        graph.add(step, inputs={"x": "x"}, outputs={"x": "x"})
    return graph.build(), {"x": count}


def wide_levels(count):
    # Each level of `count` nodes writes one name that every node of the
    # next level reads.
    graph = pelmo.Graph()
    graph.variants([step] * count, "step", inputs={"x": "x"}, outputs={"x": "x"})
    for _ in range(3):
        graph.add(step, "step", inputs={"x": "x"}, outputs={"x": "x"})
    return graph.build(), {"x": 4}


@pytest.mark.parametrize("make", [chain_of_writers, chain_of_steps, wide_levels])
def test_many_writers_of_one_name_give_a_graph_of_linear_size(make):
    # A node may not depend on every earlier writer of what it reads: the
    # graph would grow with the square of the nodes, and so would the time
    # to build and schedule it.
    count = 400
    dag, expected = make(count)
    graph, key, tasks, edges = shape(dag)
    assert tasks <= 3 * dag.node_count() and edges <= 4 * dag.node_count()
    assert dask.local.get_sync(graph, key) == expected == dag.execute(parallel=True)


def wait_for(event):
    def node(inputs):
        if not event.wait(timeout=30):
            raise TimeoutError("the other node did not run meanwhile")
        return {}

    return node


def set_event(event):
    def node(inputs):
        event.set()
        return {}

    return node


def test_tasks_follow_the_data_not_the_levels():
    # The second node comes a level after the first and reads nothing it
    # writes, so dask may run both at once; a local run would wait for the
    # first to end before the second starts.
    event = threading.Event()
    graph = pelmo.Graph()
    graph.add(wait_for(event), "Waits", outputs={"done": "done"})
    graph.add(set_event(event), "Sets")
    graph, key = pelmo.dask.to_dask(graph.build())
    assert within(60, dask.threaded.get, graph, key, num_workers=2) == {}


# ---------------------------------------------------------------- arguments and packaging


def lone_dag():
    graph = pelmo.Graph()
    graph.add(constant, outputs={"x": "x"})
    return graph.build()


@pytest.mark.parametrize("options", [
    dict(on_error="Raise"), dict(on_error=None),
    dict(inputs=5), dict(inputs={1: 2}),
    dict(outputs="x"), dict(outputs=[1]), dict(outputs=5),
], ids=repr)
def test_arguments_are_refused_as_a_local_run_refuses_them(options):
    dag = lone_dag()
    if options.get("on_error", "print") is None:
        # None is "print" to a local run; here the default is "raise", so
        # None means nothing.
        expected = ValueError
    else:
        with pytest.raises((TypeError, ValueError)) as local:
            dag.execute(parallel=True, **options)
        expected = local.type
    with pytest.raises(expected):
        pelmo.dask.to_dask(dag, **options)


def test_pelmo_never_imports_dask_and_names_the_extra_when_it_is_missing():
    done = run_python(
        """
        assert "dask" not in sys.modules
        pelmo.Graph().build().execute(parallel=True)
        assert "dask" not in sys.modules and "distributed" not in sys.modules

        class NoDask:
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] in ("dask", "distributed"):
                    raise ImportError(f"no module named {name!r}")
                return None

        sys.meta_path.insert(0, NoDask())
        try:
            import pelmo.dask
        except ImportError as error:
            print(error)
        """
    )
    assert_clean_exit(done)
    assert "pip install pelmo[dask]" in done.stdout
