"""Running a Dag: data flow, identity, failure reporting, levels and threads."""

import io
import json
import os
import sys
import threading
import time

import pytest

import pelmo
from support import MODES, assert_clean_exit, run_python

NOT_A_DICT = "Error: Python function did not return a dict\n"


def build(*steps):
    """A chain of add() calls, each step a (function, kwargs) pair or a bare function."""
    graph = pelmo.Graph()
    for step in steps:
        function, options = step if isinstance(step, tuple) else (step, {})
        graph.add(function, **options)
    return graph.build()


def produce(**values):
    """A root node writing `values` under their own names."""
    return (lambda inputs: dict(values), {"outputs": {name: name for name in values}})


class ConcurrencyProbe:
    """Counts callables running at once; `node` sleeps so that overlaps can happen."""

    def __init__(self, pause=0.2):
        self.pause = pause
        self.lock = threading.Lock()
        self.running = 0
        self.peak = 0
        self.calls = 0

    def node(self, inputs):
        with self.lock:
            self.running += 1
            self.calls += 1
            self.peak = max(self.peak, self.running)
        time.sleep(self.pause)
        with self.lock:
            self.running -= 1
        return {}


@MODES
class TestDataFlow:
    def test_mapped_input_and_output_names(self, parallel):
        dag = build(
            produce(a=1),
            (lambda inputs: {"y": inputs["x"] + 1}, {"inputs": [("a", "x")], "outputs": [("y", "b")]}),
        )
        assert dag.execute(parallel=parallel) == {"a": 1, "b": 2}

    def test_callable_sees_only_its_mapped_inputs_present_so_far(self, parallel):
        seen = []
        dag = build(
            produce(a=1, other=2),
            (lambda inputs: seen.append(dict(inputs)) or {}, {"inputs": {"a": "x", "missing": "m"}}),
        )
        dag.execute(parallel=parallel)
        assert seen == [{"x": 1}]

    def test_node_with_absent_inputs_is_called_with_an_empty_dict(self, parallel):
        calls = []

        def record(*args, **kwargs):
            calls.append((args, kwargs))
            return {}

        dag = build((record, {"inputs": {"nowhere": "x"}}))
        dag.execute(parallel=parallel)
        assert calls == [(({},), {})]

    def test_only_mapped_results_reach_the_context(self, parallel):
        dag = build((lambda inputs: {"kept": 1, "dropped": 2}, {"outputs": {"kept": "k", "absent": "z"}}))
        assert dag.execute(parallel=parallel) == {"k": 1}

    def test_nodes_without_output_mapping_or_callable_contribute_nothing(self, parallel):
        calls = []
        dag = build(
            lambda inputs: calls.append(1) or {"y": 1},
            (None, {"outputs": {"y": "y"}}),
        )
        assert dag.execute(parallel=parallel) == {}
        assert calls == [1]

    def test_empty_dag_gives_an_empty_dict(self, parallel):
        assert pelmo.Graph().build().execute(parallel=parallel) == {}

    def test_later_node_overrides_an_earlier_value(self, parallel):
        dag = build(produce(v=1), produce(v=2))
        assert dag.execute(parallel=parallel) == {"v": 2}

    @pytest.mark.parametrize(
        "steps, order",
        [
            # a sweep without functions and a replaced pair leave no trace
            ([("variants", [], {"z": "z"}), ("add", lambda d: {"a": 1, "z": 2}, {"a": "a", "z": "z"})], ["a", "z"]),
            ([("add", lambda d: {"a": 1, "b": 2, "x": 3}, [("a", "x"), ("a", "a"), ("b", "b")]),
              ("add", lambda d: {"x": 3}, {"x": "x"})], ["a", "b", "x"]),
        ],
        ids=["empty-variants", "replaced-pair"],
    )
    def test_result_keys_follow_the_first_mapping_a_node_keeps(self, parallel, steps, order):
        graph = pelmo.Graph()
        for method, function, outputs in steps:
            getattr(graph, method)(function, outputs=outputs)
        assert list(graph.build().execute(parallel=parallel)) == order

    def test_each_run_starts_from_an_empty_context(self, parallel):
        calls = []

        def count(inputs):
            calls.append(dict(inputs))
            return {"n": len(calls)}

        dag = build((count, {"inputs": {"n": "n"}, "outputs": {"n": "n"}}))
        assert dag.execute(parallel=parallel) == {"n": 1}
        assert dag.execute(parallel=parallel) == {"n": 2}
        assert calls == [{}, {}]

    def test_repeated_runs_give_equal_results(self, parallel):
        dag = build(produce(a=[1, 2]), (lambda inputs: {"s": sum(inputs["a"])}, {"inputs": {"a": "a"}, "outputs": {"s": "s"}}))
        assert dag.execute(parallel=parallel) == dag.execute(parallel=parallel) == {"a": [1, 2], "s": 3}


@MODES
class TestIdentity:
    def test_returned_object_is_the_one_in_the_result(self, parallel):
        payload = [1, 2, 3]
        dag = build((lambda inputs: {"y": payload}, {"outputs": {"y": "b"}}))
        assert dag.execute(parallel=parallel)["b"] is payload

    def test_later_node_mutates_the_same_object(self, parallel):
        received = []

        def mutate(inputs):
            received.append(inputs["v"])
            inputs["v"].append("touched")
            return {}

        dag = build((lambda inputs: {"v": []}, {"outputs": {"v": "v"}}), (mutate, {"inputs": {"v": "v"}}))
        result = dag.execute(parallel=parallel)
        assert result["v"] == ["touched"]
        assert received[0] is result["v"]

    def test_dict_subclass_is_read_through_its_storage(self, parallel):
        class Masked(dict):
            def items(self):
                return [("y", "from items()")]

            def __getitem__(self, key):
                return "from __getitem__"

            def keys(self):
                return ["y"]

        dag = build((lambda inputs: Masked(y="stored"), {"outputs": {"y": "y"}}))
        assert dag.execute(parallel=parallel) == {"y": "stored"}

    def test_non_string_result_keys_are_skipped(self, parallel):
        dag = build((lambda inputs: {1: "a", "k": 2, ("t",): 3}, {"outputs": {"k": "k", "1": "one"}}))
        assert dag.execute(parallel=parallel) == {"k": 2}


    @pytest.mark.parametrize("key", ["str", "subclass"])
    def test_node_with_many_outputs_keeps_each_result(self, parallel, key):
        # Found through a table of the outputs: 100,000 of them took 30 s when every returned
        # key was compared with every output, and this child then ran out of its time.
        code = f"""
            class Key(str):
                pass
            make = {"Key" if key == "subclass" else "str"}
            names = [f"name_{{i}}" for i in range(100_000)]
            returned = {{make(name): i for i, name in enumerate(names)}}
            returned[make("unmapped")] = -1
            graph = pelmo.Graph()
            graph.add(lambda d: returned, outputs={{name: "c" + name for name in names}})
            result = graph.build().execute(parallel={parallel})
            print(len(result), result["cname_0"], result["cname_99999"])
        """
        done = run_python(code, timeout=30)
        assert_clean_exit(done)
        assert done.stdout == "100000 0 99999\n"


@MODES
class TestRunParameters:
    """execute's inputs, outputs and on_error."""

    def test_inputs_go_in_by_reference_and_come_back_unless_replaced(self, parallel):
        data, unused = [1, 2], object()
        seen = []
        dag = build((lambda d: seen.append(d["x"]) or {"y": len(d["x"])}, {"inputs": {"data": "x"}, "outputs": {"y": "n"}}),
                    produce(data="replaced"))
        result = dag.execute(parallel=parallel, inputs={"data": data, "never": unused})
        assert seen[0] is data and result["never"] is unused
        assert result == {"data": "replaced", "n": 2, "never": unused}
        assert list(result) == ["data", "n", "never"]

    def test_outputs_choose_names_and_leave_out_unfilled_ones(self, parallel):
        dag = build(produce(a=1), (lambda d: {}, {"outputs": {"b": "b"}}))
        assert dag.execute(parallel=parallel, outputs=["b", "a", "extra"], inputs={"extra": 3}) == {"a": 1, "extra": 3}
        assert dag.execute(parallel=parallel, outputs=[]) == {}
        with pytest.raises(ValueError, match="no node writes 'c'"):
            dag.execute(parallel=parallel, outputs=["a", "c"])

    @pytest.mark.parametrize("where", ["first", "last"])
    def test_first_failure_raises_node_error_and_stops_the_run(self, parallel, where, capsys):
        later = []
        steps = [(lambda d: 1 / 0, {"label": "Divide"}), lambda d: later.append(1) or {}]
        if where == "last":
            steps = [produce(a=1), steps[0]]
        with pytest.raises(pelmo.NodeError) as raised:
            build(*steps).execute(parallel=parallel, on_error="raise")
        error = raised.value
        node = 0 if where == "first" else 1
        assert (error.node, error.label, error.others) == (node, "Divide", ())
        assert isinstance(error.__cause__, ZeroDivisionError)
        assert str(error) == f"node {node} ('Divide') failed: ZeroDivisionError: division by zero"
        assert later == [] and capsys.readouterr().err == ""

    def test_result_that_is_not_a_dict_raises_node_error(self, parallel):
        with pytest.raises(pelmo.NodeError) as raised:
            build(lambda d: [("y", 1)]).execute(parallel=parallel, on_error="raise")
        assert raised.value.label is None
        assert isinstance(raised.value.__cause__, TypeError)
        assert "did not return a dict (it returned list)" in str(raised.value)

    def test_failures_of_one_level_raise_the_first_and_keep_the_others(self, parallel):
        barrier = threading.Barrier(3, timeout=10) if parallel else None

        def fail(message):
            def run(inputs):
                if barrier:
                    barrier.wait()
                raise ValueError(message)
            return run

        dag = level_of(fail("a"), lambda d: (barrier and barrier.wait(), {"ok": 1})[1], fail("c"), outputs={"ok": "ok"})
        with pytest.raises(pelmo.NodeError) as raised:
            dag.execute(parallel=parallel, on_error="raise")
        first = raised.value
        assert (first.node, str(first.__cause__)) == (1, "a")
        if parallel:
            assert [(other.node, str(other.__cause__)) for other in first.others] == [(3, "c")]
        else:
            assert first.others == ()


def failing_dag(tail_calls):
    """Failing side paths beside a failing node after a root, more failures, then a healthy node."""
    graph = pelmo.Graph()
    graph.add(lambda inputs: {"a": 1}, outputs={"a": "a"})
    for function in (lambda inputs: 1 / 0, lambda inputs: None, lambda inputs, params: {}, lambda inputs: {"b": 2}):
        side = pelmo.Graph()
        side.add(function, outputs={"b": "b"})
        graph.branch(side)
    graph.add(42)

    def leave_generator(inputs):
        # Not an Exception either, yet no reason to stop the run.
        raise GeneratorExit("stop here")

    graph.add(leave_generator)
    graph.add(lambda inputs: tail_calls.append(1) or {"c": 3}, outputs={"c": "c"})
    return graph.build()


@MODES
class TestFailureReporting:
    @pytest.mark.parametrize(
        "returned", [None, [("y", 1)], (("y", 1),), "y", 3], ids=["none", "list", "pairs", "str", "int"]
    )
    def test_non_dict_result_is_reported_and_dropped(self, parallel, returned, capsys):
        later = []
        dag = build(
            (lambda inputs: returned, {"outputs": {"y": "y"}}),
            lambda inputs: later.append(1) or {},
        )
        assert dag.execute(parallel=parallel) == {}
        assert capsys.readouterr().err == NOT_A_DICT
        assert later == [1]

    def test_non_dict_result_is_reported_before_it_is_released(self, parallel, capsys):
        class Noisy:
            def __del__(self):
                sys.stderr.write("released\n")

        build(lambda inputs: Noisy()).execute(parallel=parallel)
        assert capsys.readouterr().err == NOT_A_DICT + "released\n"

    def test_exception_prints_traceback_and_run_goes_on(self, parallel, capsys):
        def explode(inputs):
            raise LookupError("no such shelf")

        dag = build(produce(a=1), (explode, {"outputs": {"a": "a", "x": "x"}}), produce(z=0))
        assert dag.execute(parallel=parallel) == {"a": 1, "z": 0}
        err = capsys.readouterr().err
        assert "Traceback" in err
        assert "LookupError: no such shelf" in err
        assert "explode" in err

    def test_non_callable_fails_on_every_run(self, parallel, capsys):
        dag = build(42, produce(z=0))
        for _ in range(2):
            assert dag.execute(parallel=parallel) == {"z": 0}
        err = capsys.readouterr().err
        assert err.count("TypeError") == 2
        assert "'int' object is not callable" in err

    def test_two_parameter_variant_fails_on_every_call(self, parallel, capsys):
        graph = pelmo.Graph()
        graph.add(lambda inputs: {"x": 1}, outputs={"x": "x"})
        graph.variants([lambda inputs, params: {"y": 1}, lambda inputs: {"y": 2}], inputs={"x": "x"}, outputs={"y": "y"})
        dag = graph.build()
        for _ in range(2):
            assert dag.execute(parallel=parallel) == {"x": 1, "y": 2}
        err = capsys.readouterr().err
        assert err.count("TypeError") == 2
        assert "missing 1 required positional argument" in err

    def test_every_kind_of_failure_in_one_run(self, parallel, capsys):
        tail = []
        assert failing_dag(tail).execute(parallel=parallel) == {"a": 1, "b": 2, "c": 3}
        err = capsys.readouterr().err
        assert err.count(NOT_A_DICT) == 1
        assert "ZeroDivisionError" in err and "GeneratorExit: stop here" in err
        assert err.count("TypeError") == 2
        assert tail == [1]

    def test_without_stderr_failures_still_reach_the_excepthook(self, parallel, monkeypatch):
        # How a program without a console logs its failures.
        seen = []
        monkeypatch.setattr(sys, "excepthook", lambda kind, value, traceback: seen.append(kind))
        monkeypatch.setattr(sys, "stderr", None)
        tail = []
        assert failing_dag(tail).execute(parallel=parallel) == {"a": 1, "b": 2, "c": 3}
        assert tail == [1]
        assert ZeroDivisionError in seen and seen.count(TypeError) == 2

    def test_stderr_whose_write_raises_does_not_stop_the_run(self, parallel, monkeypatch):
        class Broken(io.TextIOBase):
            def write(self, text):
                raise OSError("stderr is gone")

        monkeypatch.setattr(sys, "stderr", Broken())
        tail = []
        assert failing_dag(tail).execute(parallel=parallel) == {"a": 1, "b": 2, "c": 3}
        assert tail == [1]

    @pytest.mark.parametrize(
        "replacement",
        [
            "None",
            pytest.param(
                "Broken()",
                marks=pytest.mark.skipif(
                    sys.version_info >= (3, 11),
                    reason="from 3.11 the interpreter's own traceback printing falls back to fd 2"
                    " when sys.stderr.write raises",
                ),
            ),
        ],
    )
    def test_unusable_stderr_leaves_fd_2_untouched(self, parallel, replacement):
        # Failures must neither end the process nor leak around the Python-level stream.
        code = f"""
            class Broken:
                def write(self, text):
                    raise OSError("stderr is gone")
                def flush(self):
                    raise OSError("stderr is gone")

            tail = []
            sys.stderr = {replacement}
            result = failing_dag(tail).execute(parallel={parallel})
            sys.stderr = sys.__stderr__
            print(sorted(result.items()), tail)
        """
        done = run_python(code, failing_dag)
        assert done.returncode == 0, done.stderr
        assert done.stdout == "[('a', 1), ('b', 2), ('c', 3)] [1]\n"
        assert done.stderr == ""


@MODES
class TestExcepthook:
    """pelmo reports a failure by calling sys.excepthook itself: what the hook raises never ends
    the process from inside execute, and nothing goes around sys.stderr."""

    @pytest.mark.parametrize(
        "hook, outcome",
        [("sys.exit(9)", "SystemExit [] 9"), ("raise KeyboardInterrupt", "KeyboardInterrupt [] None"),
         # Ctrl-C while the hook runs
         ("time.sleep(0.4)", "KeyboardInterrupt [] None")],
        ids=["exit", "interrupt", "ctrl-c"],
    )
    def test_hook_that_stops_stops_the_run(self, parallel, hook, outcome):
        code = f"""
            import os, signal, threading
            signal.signal(signal.SIGINT, signal.default_int_handler)
            later = []
            def hook(*args):
                {hook}
            sys.excepthook = hook
            graph = pelmo.Graph()
            graph.add(None)
            graph.variants([lambda d: 1 / 0, lambda d: {{}}])
            graph.add(lambda d: later.append(1) or {{}})
            threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                graph.build().execute(parallel={parallel})
                time.sleep(0.2)
                print("returned", later)
            except BaseException as error:
                print(type(error).__name__, later, getattr(error, "code", None))
        """
        done = run_python(code, timeout=20)
        assert_clean_exit(done)
        assert done.stdout == outcome + "\n"

    def test_hook_replaced_while_it_is_audited_stays_alive(self, parallel):
        code = f"""
            class Hook:
                def __call__(self, *args):
                    print("hook called")
            sys.excepthook = Hook()
            sys.addaudithook(lambda event, args: event == "sys.excepthook" and setattr(sys, "excepthook", print))
            graph = pelmo.Graph()
            graph.add(lambda d: 1 / 0)
            graph.build().execute(parallel={parallel})
        """
        done = run_python(code, timeout=20)
        assert_clean_exit(done)
        assert done.stdout == "hook called\n"

    @pytest.mark.parametrize("stderr", ["None", "io.StringIO()"], ids=["no-stderr", "stderr"])
    def test_hook_that_fails_is_shown_on_sys_stderr_only(self, parallel, stderr):
        code = f"""
            import io, json
            def hook(*args):
                raise ValueError("the hook broke")
            sys.excepthook = hook
            sys.stderr = {stderr}
            later = []
            graph = pelmo.Graph()
            graph.add(lambda d: 1 / 0)
            graph.add(lambda d: later.append(1) or {{}})
            graph.build().execute(parallel={parallel})
            shown = sys.stderr.getvalue() if sys.stderr else ""
            sys.stderr = sys.__stderr__
            print(json.dumps([later, shown]))
        """
        done = run_python(code, timeout=20)
        assert_clean_exit(done)
        assert done.stderr == ""
        later, shown = json.loads(done.stdout)
        assert later == [1]
        if stderr == "None":
            assert shown == ""
        else:
            parts = ["Error in sys.excepthook:", "ValueError: the hook broke", "Original exception was:",
                     "ZeroDivisionError"]
            positions = [shown.find(part) for part in parts]
            assert -1 not in positions and positions == sorted(positions), shown


def stop_dag(error, later, wide):
    """A root, then a node raising `error` (alone, or beside a sleeper in its level), then a node noting it ran."""
    graph = pelmo.Graph()
    graph.add(lambda inputs: {"a": 1}, outputs={"a": "a"})

    def leave(inputs):
        raise error

    if wide:
        graph.variants([lambda inputs: time.sleep(0.05) or {}, leave])
    else:
        graph.add(leave)
    graph.add(lambda inputs: later.append(1) or {})
    return graph.build()


@MODES
class TestRunStoppers:
    @pytest.mark.parametrize("wide", [False, True], ids=["alone", "in-level"])
    @pytest.mark.parametrize(
        "make_error",
        [lambda: SystemExit(7), lambda: SystemExit(0), lambda: SystemExit("farewell"), SystemExit, KeyboardInterrupt],
        ids=["exit-7", "exit-0", "exit-text", "exit-none", "interrupt"],
    )
    def test_execute_raises_the_very_exception_with_its_traceback(self, parallel, wide, make_error, capsys):
        later = []
        error = make_error()
        with pytest.raises(type(error)) as raised:
            stop_dag(error, later, wide).execute(parallel=parallel)
        assert raised.value is error
        assert "leave" in [entry.name for entry in raised.traceback]
        assert later == []
        assert capsys.readouterr().err == ""

    def test_dag_stays_usable_afterwards(self, parallel):
        later = []
        dag = stop_dag(SystemExit(3), later, wide=True)
        for _ in range(3):
            with pytest.raises(SystemExit):
                dag.execute(parallel=parallel)
        assert later == []

    @pytest.mark.parametrize("wide", [False, True], ids=["alone", "in-level"])
    def test_uncaught_exit_ends_the_process_with_its_status(self, parallel, wide):
        code = f"""
            later = []
            stop_dag(SystemExit(7), later, {wide}).execute(parallel={parallel})
            print("still running")
        """
        done = run_python(code, stop_dag, timeout=20)
        assert_clean_exit(done, status=7)
        assert done.stdout == ""

    def test_on_another_thread_ends_that_thread_as_sys_exit_does(self, parallel):
        code = f"""
            import threading
            graph = pelmo.Graph()
            graph.add(lambda d: exec("raise SystemExit(5)"))
            dag = graph.build()
            seen = []
            threading.excepthook = lambda args: seen.append((args.exc_type, args.exc_value.code))
            for target in (lambda: dag.execute(parallel={parallel}), lambda: sys.exit(5)):
                thread = threading.Thread(target=target)
                thread.start()
                thread.join(10)
                assert not thread.is_alive()
            print(seen)
        """
        done = run_python(code, timeout=20)
        assert_clean_exit(done)
        assert done.stderr == ""
        assert done.stdout == "[(<class 'SystemExit'>, 5), (<class 'SystemExit'>, 5)]\n"


def sleeper_dag(levels, width, pause, log):
    """A root, then `levels` levels of `width` nodes; each node sleeps `pause` s, logs its start
    and end, and writes its name under its name."""
    def node(name):
        def run(inputs):
            log.append(("start", name, time.monotonic()))
            time.sleep(pause)
            log.append(("end", name, time.monotonic()))
            return {"done": name}
        return run

    graph = pelmo.Graph()
    graph.add(node("root"), outputs={"done": "root"})
    for level in range(levels):
        for k in range(width):
            name = f"n{level}.{k}"
            if k == width - 1:
                graph.add(node(name), outputs={"done": name})
            else:
                side = pelmo.Graph()
                side.add(node(name), outputs={"done": name})
                graph.branch(side)
    return graph.build()


def interrupted_run(dag, log, handler, **options):
    """Runs `dag` while a thread sends SIGINT 0.1 s after the first node started, with `handler`
    installed for it.

    Returns how the run ended ("returned", or the name of the exception raised), the result,
    the seconds from the signal to the end of `execute`, the seconds after the signal at which
    nodes started, and how many nodes started and ended.
    """
    import os, signal, threading

    log.clear()
    previous = signal.signal(signal.SIGINT, handler)
    sent = []

    def send():
        # Counted from the run's start, not the thread's: on a busy machine the run may start late.
        while not log:
            time.sleep(0.005)
        time.sleep(0.1)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    sender = threading.Thread(target=send)
    sender.start()
    result = None
    try:
        result = dag.execute(**options)
        outcome = "returned"
    except BaseException as error:  # noqa: BLE001 - the outcome is what is tested
        outcome = type(error).__name__
    finished = time.monotonic()
    sender.join()
    signal.signal(signal.SIGINT, previous)
    starts = [at for kind, _, at in log if kind == "start"]
    return {
        "outcome": outcome,
        "result": result,
        "latency": finished - sent[0],
        "late_starts": [at - sent[0] for at in starts if at > sent[0]],
        "started": len(starts),
        "ended": sum(kind == "end" for kind, _, _ in log),
    }


class TestSignals:
    """A signal during a run is handled while the run goes on, on the main thread: Ctrl-C stops it."""

    @pytest.mark.parametrize(
        "options",
        [{}, {"parallel": True}, {"parallel": True, "max_threads": 2}],
        ids=["sequential", "parallel", "parallel-chunks"],
    )
    def test_sigint_during_a_run(self, options):
        code = f"""
            import json, signal
            log = []
            dag = sleeper_dag(8, 4, 0.05, log)
            options = {options!r}
            report = {{"stopped": interrupted_run(dag, log, signal.default_int_handler, **options)}}
            report["again"] = dag.execute(**options)
            count = []
            report["counted"] = interrupted_run(dag, log, lambda number, frame: count.append(number), **options)
            report["count"] = len(count)

            def refuse(number, frame):
                raise LookupError("from the handler")

            # Sequentially such a handler runs inside the sleeping callable, which thus raises
            # an ordinary exception: that node's failure, reported, and the run goes on.
            reported = []
            sys.excepthook = lambda kind, error, traceback: reported.append(kind.__name__)
            report["raising"] = interrupted_run(dag, log, refuse, **options)
            report["reported"] = reported
            print(json.dumps(report))
        """
        done = run_python(code, sleeper_dag, interrupted_run)
        assert done.returncode == 0, done.stderr
        report = json.loads(done.stdout)
        full = {name: name for name in ["root"] + [f"n{level}.{k}" for level in range(8) for k in range(4)]}
        parallel = bool(options)

        stopped = report["stopped"]
        assert stopped["outcome"] == "KeyboardInterrupt"
        assert stopped["latency"] < 0.5
        assert stopped["started"] < len(full)
        if parallel:
            # The chunk that was running is joined; a later one may have begun only before the
            # handler ran, within its 100 ms.
            assert stopped["ended"] == stopped["started"]
            assert all(late < 0.15 for late in stopped["late_starts"]), stopped
        else:
            assert stopped["late_starts"] == []
        assert report["again"] == full

        counted = report["counted"]
        assert (counted["outcome"], counted["result"], report["count"]) == ("returned", full, 1)

        raising = report["raising"]
        if parallel:
            assert raising["outcome"] == "LookupError"
            assert raising["latency"] < 0.5
            assert raising["ended"] == raising["started"] < len(full)
        else:
            # The node the handler interrupted contributes nothing; every other one does.
            assert (raising["outcome"], report["reported"]) == ("returned", ["LookupError"])
            assert len(raising["result"]) == len(full) - 1

    @pytest.mark.parametrize("keys", ["range(10**6)", "map((1).__truediv__, [1] * 10**6 + [0])"], ids=["returns", "raises"])
    def test_sigint_during_a_c_callable_stops_the_run_when_it_returns(self, keys):
        # A C callable runs no Python line where the interpreter could see the signal; the
        # signal comes from outside, since no thread can take the lock meanwhile.
        code = f"""
            import functools, io, os, signal, subprocess
            # As Python sets it up, even where the launching shell ignores SIGINT.
            signal.signal(signal.SIGINT, signal.default_int_handler)
            later = []
            graph = pelmo.Graph()
            graph.add(lambda d: subprocess.Popen(["sh", "-c", f"sleep 0.1; kill -INT {{os.getpid()}}"]) and {{}})
            for _ in range(8):
                graph.add(functools.partial(dict.fromkeys, {keys}))
            graph.add(later.append)
            dag = graph.build()
            sys.stderr = io.StringIO()
            try:
                dag.execute()
            except KeyboardInterrupt:
                print("interrupted", later)
        """
        done = run_python(code)
        assert done.returncode == 0, done.stderr
        assert done.stdout == "interrupted []\n"


def level_of(*functions, root=None, **options):
    """A root, then one variant node per function: all of them in level 1."""
    graph = pelmo.Graph()
    graph.add(root or (lambda inputs: {"x": "root"}), outputs={"x": "x"})
    graph.variants(list(functions), **options)
    return graph.build()


class TestLevels:
    @MODES
    def test_every_node_of_a_level_receives_the_parent_value(self, parallel):
        seen = []
        lock = threading.Lock()

        def record(inputs):
            with lock:
                seen.append(inputs.get("x"))
            return {}

        level_of(record, record, record, inputs={"x": "x"}).execute(parallel=parallel)
        assert seen == ["root"] * 3

    @staticmethod
    def crossing_writers():
        # Two siblings, each writing its own name and reading the other's.
        graph = pelmo.Graph()
        graph.add(lambda inputs: {"p": "before", "q": "before"}, outputs={"p": "p", "q": "q"})
        side = pelmo.Graph()
        side.add(lambda inputs: {"p": "P", "saw": inputs.get("q")}, inputs={"q": "q"}, outputs={"p": "p", "saw": "p_saw"})
        graph.branch(side)
        graph.add(lambda inputs: {"q": "Q", "saw": inputs.get("p")}, inputs={"p": "p"}, outputs={"q": "q", "saw": "q_saw"})
        return graph.build()

    @pytest.mark.parametrize("max_threads", [None, 1, 2])
    def test_parallel_level_reads_a_snapshot(self, max_threads):
        result = self.crossing_writers().execute(parallel=True, max_threads=max_threads)
        assert result == {"p": "P", "q": "Q", "p_saw": "before", "q_saw": "before"}

    def test_sequential_siblings_see_earlier_siblings(self):
        result = self.crossing_writers().execute()
        assert result["p"] == "P" and result["q"] == "Q"
        assert sorted([result["p_saw"], result["q_saw"]]) == ["P", "before"]

    def test_parallel_sibling_without_earlier_value_sees_nothing(self):
        graph = pelmo.Graph()
        graph.add(lambda inputs: {}, outputs={})
        side = pelmo.Graph()
        side.add(lambda inputs: {"y": 1}, outputs={"y": "y"})
        graph.branch(side)
        graph.add(lambda inputs: {"saw": sorted(inputs)}, inputs={"y": "y"}, outputs={"saw": "saw"})
        assert graph.build().execute(parallel=True) == {"y": 1, "saw": []}

    def test_one_thread_per_level_lets_the_later_variant_win(self):
        # The first variant finishes last; the level order must still decide.
        slow_first = level_of(
            lambda inputs: time.sleep(0.1) or {"v": "first"},
            lambda inputs: {"v": "second"},
            outputs={"v": "v"},
        )
        for _ in range(3):
            assert slow_first.execute(parallel=True, max_threads=1)["v"] == "second"

    def test_unlimited_threads_run_a_whole_level_at_once(self):
        width = 5
        barrier = threading.Barrier(width, timeout=10)
        passed = []

        def wait(inputs):
            barrier.wait()
            passed.append(1)
            return {}

        level_of(*[wait] * width).execute(parallel=True)
        assert len(passed) == width

    @pytest.mark.parametrize("max_threads", [1, 2, 3])
    def test_max_threads_caps_concurrency(self, max_threads):
        probe = ConcurrencyProbe(pause=0.1)
        level_of(*[probe.node] * 5).execute(parallel=True, max_threads=max_threads)
        assert probe.calls == 5
        assert probe.peak == max_threads

    def test_sequential_mode_never_overlaps(self):
        probe = ConcurrencyProbe(pause=0.02)
        level_of(*[probe.node] * 4).execute(parallel=False)
        assert (probe.calls, probe.peak) == (4, 1)

    def test_gil_releasing_callables_overlap(self):
        probe = ConcurrencyProbe(pause=0.2)
        level_of(*[probe.node] * 8).execute(parallel=True)
        assert probe.calls == 8 and probe.peak > 1


# A child forked from a threaded process under a sanitizer inherits the
# runtime's own locks as they were: ThreadSanitizer ends such children, and
# AddressSanitizer's thread registry, held by a thread being started or
# ended at the fork, leaves a child that starts a thread waiting for ever.
NOT_UNDER_SANITIZERS = pytest.mark.skipif("san.so" in os.environ.get("LD_PRELOAD", ""),
                                          reason="the sanitizers' runtimes do not survive fork in threaded processes")


class TestFork:
    @NOT_UNDER_SANITIZERS
    def test_child_forked_during_a_parallel_run_runs_dags(self):
        # A child inherits no lock of pelmo's, whatever another thread was doing at the fork.
        code = """
            import os, threading
            R = {"k" * (i + 1): i for i in range(1000)}
            g = pelmo.Graph(); g.add(None); g.variants([lambda d: R] * 16, outputs={k: k for k in R}); busy = g.build()
            threading.Thread(target=lambda: [busy.execute(parallel=True) for _ in iter(int, 1)], daemon=True).start()
            time.sleep(0.05)
            good = 0
            for _ in range(30):
                pid = os.fork()
                if pid == 0:
                    small = pelmo.Graph(); small.add(lambda d: {"x": 1}, outputs={"x": "x"})
                    small.variants([lambda d: {"y": d["x"]}] * 2, inputs={"x": "x"}, outputs={"y": "y"})
                    dag = small.build()
                    os._exit(0 if dag.execute() == dag.execute(parallel=True) == {"x": 1, "y": 1} else 1)
                deadline = time.monotonic() + 10
                while not (ended := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < deadline:
                    time.sleep(0.005)
                if not ended[0]:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                good += ended[0] != 0 and ended[1] == 0
            print(good)
        """
        done = run_python(code, timeout=120)
        assert_clean_exit(done)
        assert done.stdout == "30\n"

    @NOT_UNDER_SANITIZERS
    def test_child_forked_by_a_node_finishes_the_run(self):
        # The run's team was made for the levels before the fork; the child makes its own.
        code = """
            import os
            children = []

            def beside(graph, name, value):
                side = pelmo.Graph()
                side.add(lambda d: {name: value}, outputs={name: name})
                graph.branch(side)

            # Levels: the root; a and b; the fork alone, on the calling thread; c and d.
            graph = pelmo.Graph()
            graph.add(None)
            beside(graph, "a", 1)
            graph.add(lambda d: {"b": 2}, outputs={"b": "b"})
            graph.add(lambda d: children.append(os.fork()) or {})
            beside(graph, "c", 3)
            graph.add(lambda d: {"d": 4}, outputs={"d": "d"})
            result = graph.build().execute(parallel=True)
            if children[0] == 0:
                os._exit(0 if result == {"a": 1, "b": 2, "c": 3, "d": 4} else 1)
            deadline = time.monotonic() + 10
            while not (ended := os.waitpid(children[0], os.WNOHANG))[0] and time.monotonic() < deadline:
                time.sleep(0.005)
            if not ended[0]:
                os.kill(children[0], 9)
            print(ended[0] != 0 and ended[1] == 0, sorted(result))
        """
        done = run_python(code, timeout=60)
        assert_clean_exit(done)
        assert done.stdout == "True ['a', 'b', 'c', 'd']\n"


class TestReentrancy:
    @MODES
    def test_dag_executed_inside_nodes_of_another(self, parallel):
        # In parallel, each outer worker runs the inner levels on a team of its own.
        inner = level_of(lambda inputs: {"y": inputs["x"] * 2}, lambda inputs: {"z": inputs["x"] + 1},
                         inputs={"x": "x"}, outputs={"y": "y", "z": "z"}, root=lambda inputs: {"x": 21})
        outer = level_of(*[lambda inputs, k=k: {f"nested{k}": inner.execute(parallel=parallel)} for k in range(3)],
                         outputs={f"nested{k}": f"nested{k}" for k in range(3)})
        expected = {"x": 21, "y": 42, "z": 22}
        assert outer.execute(parallel=parallel) == {"x": "root", **{f"nested{k}": expected for k in range(3)}}

    @MODES
    def test_dag_executed_inside_its_own_node(self, parallel):
        depth = []
        dags = []

        def recurse(inputs):
            depth.append(1)
            if len(depth) > 3:
                return {"depth": len(depth)}
            return {"depth": dags[0].execute(parallel=parallel)["depth"]}

        dags.append(level_of(recurse, lambda inputs: {}, outputs={"depth": "depth"}))
        assert dags[0].execute(parallel=parallel) == {"x": "root", "depth": 4}

    @MODES
    def test_threads_share_one_dag(self, parallel):
        graph = pelmo.Graph()
        graph.add(lambda inputs: {"x": 3}, outputs={"x": "x"})
        graph.variants(
            [lambda inputs: {"v0": inputs["x"] + 1}, lambda inputs: {"v1": [inputs["x"]] * 2}],
            inputs={"x": "x"},
            outputs={"v0": "v0", "v1": "v1"},
        )
        graph.add(lambda inputs: time.sleep(0.001) or {"n": len(inputs)}, inputs={"v0": "v0", "v1": "v1"}, outputs={"n": "n"})
        dag = graph.build()
        expected = dag.execute(parallel=parallel)
        mermaid = dag.to_mermaid()
        count = dag.node_count()
        failures = []

        def run():
            try:
                for _ in range(40):
                    if dag.execute(parallel=parallel) != expected:
                        failures.append("result")
            except BaseException as error:  # noqa: BLE001 - reported by the assert below
                failures.append(repr(error))

        def inspect():
            for _ in range(400):
                if dag.to_mermaid() != mermaid or dag.node_count() != count:
                    failures.append("inspection")

        threads = [threading.Thread(target=run) for _ in range(8)]
        threads += [threading.Thread(target=inspect) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=60)
        assert not any(thread.is_alive() for thread in threads)
        assert failures == []
        assert expected == {"x": 3, "v0": 4, "v1": [3, 3], "n": 2}
