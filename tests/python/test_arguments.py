"""Argument binding and conversion of every method that takes arguments."""

import re
import sys

import pytest

import pelmo
from support import TAKEN, Index, noop


def taken_graph():
    graph = pelmo.Graph()
    graph.build()
    return graph


def one_output_dag():
    graph = pelmo.Graph()
    graph.add(lambda d: {"v": 1}, outputs={"v": "out"})
    return graph.build()


class BadSequence:
    """A sequence that fails half way through."""

    class Failure(Exception):
        pass

    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index == 1:
            raise self.Failure("second item")
        return noop


def raises(exception, fragment):
    # An empty fragment: only the exception type is part of the contract.
    return pytest.raises(exception, match=re.escape(fragment) if fragment else None)


def unexpected(keyword):
    return f"unexpected keyword argument {keyword!r}"


SHAPE = "inputs/outputs must be a dict or list of tuples"


class TestAdd:
    @pytest.mark.parametrize(
        "args, kwargs, exception, fragment",
        [
            ((noop, "a", None, None, None), {}, TypeError, "add()"),
            ((), {"fn": noop}, TypeError, "fn"),
            ((noop,), {"function": noop}, TypeError, "function"),
            # a keyword matches only by its whole name
            ((), {"label\x00junk": "X"}, TypeError, unexpected("label\x00junk")),
            ((None, "a"), {"label\x00": "b"}, TypeError, unexpected("label\x00")),
            ((None, 3), {}, TypeError, "label"),
            ((), {"inputs": (("a", "x"),)}, ValueError, SHAPE),
            ((), {"inputs": {("a", "x")}}, ValueError, SHAPE),
            ((), {"inputs": iter([("a", "x")])}, ValueError, SHAPE),
            ((), {"inputs": "ax"}, ValueError, SHAPE),
            ((), {"outputs": (("a", "x"),)}, ValueError, SHAPE),
            ((), {"inputs": [("a", "x", "y")]}, ValueError, ""),
            ((), {"inputs": [["a", "x"]]}, TypeError, "inputs"),
            ((), {"inputs": [("a", 1)]}, TypeError, "inputs"),
            ((), {"inputs": {"a": 1}}, TypeError, "inputs"),
            ((), {"inputs": {1: "a"}}, TypeError, "inputs"),
            ((), {"outputs": {"a": None}}, TypeError, "outputs"),
            ((), {"outputs": [("a", "x"), ("b", 2)]}, TypeError, "outputs"),
            # inputs are read before outputs
            ((), {"inputs": {"a": 1}, "outputs": {"b": 2}}, TypeError, "inputs"),
        ],
    )
    def test_add_parse_arguments_errors(self, args, kwargs, exception, fragment):
        graph = pelmo.Graph()
        graph.add(None, "kept")
        with raises(exception, fragment):
            graph.add(*args, **kwargs)
        # a rejected call adds nothing
        assert graph.build().node_count() == 1

    @pytest.mark.parametrize(
        "kwargs, unencodable",
        [
            ({"label": "\ud800"}, "\ud800"),
            ({"inputs": {"\ud800": "x"}}, "\ud800"),
            ({"inputs": {"a": "\ud800"}}, "\ud800"),
            ({"outputs": [("\ud800", "x")]}, "\ud800"),
            # the first text of a pair is converted before the second is checked
            ({"inputs": {"\ud800": 1}}, "\ud800"),
            ({"inputs": {"\ud800": "\udc00"}}, "\ud800"),
            ({"outputs": [("\ud800", "\udc00")]}, "\ud800"),
            ({"outputs": [("\ud800", None)]}, "\ud800"),
        ],
    )
    def test_add_surrogates_raise_unicode_error(self, kwargs, unencodable):
        with pytest.raises(UnicodeEncodeError) as raised:
            pelmo.Graph().add(**kwargs)
        assert raised.value.object == unencodable

    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((), {}),
            ((noop, "L", {"a": "x"}, [("y", "b")]), {}),
            ((), {"outputs": [("y", "b")], "inputs": {"a": "x"}, "label": "L", "function": noop}),
            ((42,), {}),  # callability is not checked when building
        ],
    )
    def test_add_accepts(self, args, kwargs):
        graph = pelmo.Graph()
        assert graph.add(*args, **kwargs) is None
        assert graph.build().node_count() == 1

    def test_add_returns_none_so_chaining_fails(self):
        with pytest.raises(AttributeError):
            pelmo.Graph().add(noop).add(noop)

    @pytest.mark.parametrize("empty", [{}, []])
    def test_add_empty_mapping_means_none(self, empty):
        def diagram(mapping):
            graph = pelmo.Graph()
            graph.add(noop, "Load", outputs={"v": "data"})
            graph.add(noop, "Use", inputs=mapping, outputs=mapping)
            return graph.build().to_mermaid()

        assert diagram(empty) == diagram(None)

    @pytest.mark.parametrize(
        "args, kwargs, exception, fragment",
        [
            ((), {"inputs": {"a": 1}}, ValueError, TAKEN),
            ((), {"outputs": (("a", "x"),)}, ValueError, TAKEN),
            ((noop, 3), {}, TypeError, "label"),
            ((), {"bogus": 1}, TypeError, "bogus"),
        ],
    )
    def test_add_on_taken_graph_checks_label_first(self, args, kwargs, exception, fragment):
        with raises(exception, fragment):
            taken_graph().add(*args, **kwargs)


class TestVariants:
    @pytest.mark.parametrize(
        "args, kwargs, exception, fragment",
        [
            ((), {}, TypeError, "functions"),
            ((), {"label": "L"}, TypeError, "functions"),
            (([noop], "L", None, None, None), {}, TypeError, "variants()"),
            (([noop],), {"functions": [noop]}, TypeError, "functions"),
            (([noop],), {"fns": 1}, TypeError, "fns"),
            ((), {"functions\x00": [noop]}, TypeError, unexpected("functions\x00")),
            (({"a": noop},), {}, TypeError, "functions"),
            (({noop},), {}, TypeError, "functions"),
            (((f for f in [noop]),), {}, TypeError, "functions"),
            (("fg",), {}, TypeError, "functions"),
            (([noop], 3), {}, TypeError, "label"),
            (([noop],), {"inputs": (("a", "x"),)}, ValueError, SHAPE),
            (([noop],), {"outputs": {("a", "x")}}, ValueError, SHAPE),
            (([noop],), {"inputs": [("a", "x", "y")]}, ValueError, ""),
            (([noop],), {"inputs": [["a", "x"]]}, TypeError, "inputs"),
            (([noop],), {"outputs": {"a": 1}}, TypeError, "outputs"),
            (([noop],), {"inputs": {"a": 1}, "outputs": {"b": 2}}, TypeError, "inputs"),
            (([noop],), {"label": "\ud800"}, UnicodeEncodeError, ""),
            (([noop],), {"inputs": [("a", "\ud800")]}, UnicodeEncodeError, ""),
        ],
    )
    def test_variants_parse_arguments_errors(self, args, kwargs, exception, fragment):
        graph = pelmo.Graph()
        graph.add(None, "kept")
        with raises(exception, fragment):
            graph.variants(*args, **kwargs)
        assert graph.build().node_count() == 1

    @pytest.mark.parametrize(
        "functions, count",
        [([noop, noop], 2), ((noop, noop, noop), 3), (range(4), 4), ([], 0), ([1, "x"], 2)],
        ids=["list", "tuple", "range", "empty", "not-callable"],
    )
    def test_variants_accepts_sequences(self, functions, count):
        graph = pelmo.Graph()
        assert graph.variants(functions) is None
        assert graph.build().node_count() == count

    @pytest.mark.parametrize("claimed", [sys.maxsize, 2**40, 10**9])
    def test_variants_length_is_only_a_hint(self, claimed):
        class Lying:
            def __len__(self):
                return claimed

            def __getitem__(self, index):
                if index >= 2:
                    raise IndexError(index)
                return noop

        graph = pelmo.Graph()
        assert graph.variants(Lying()) is None
        assert graph.build().node_count() == 2

    def test_variants_iteration_error_propagates_unchanged(self):
        graph = pelmo.Graph()
        with pytest.raises(BadSequence.Failure, match="second item"):
            graph.variants(BadSequence())
        assert graph.build().node_count() == 0

    @pytest.mark.parametrize(
        "args, kwargs, exception, fragment",
        [
            (([noop],), {"inputs": {"a": 1}}, ValueError, TAKEN),
            (([noop],), {"outputs": "x"}, ValueError, TAKEN),
            (("fg",), {}, TypeError, "functions"),
            (([noop], 3), {}, TypeError, "label"),
        ],
    )
    def test_variants_on_taken_graph_checks_functions_and_label_first(
        self, args, kwargs, exception, fragment
    ):
        with raises(exception, fragment):
            taken_graph().variants(*args, **kwargs)

    def test_variants_on_taken_graph_still_iterates_functions(self):
        with pytest.raises(BadSequence.Failure):
            taken_graph().variants(BadSequence())


class TestBranch:
    @pytest.mark.parametrize(
        "args, kwargs, exception, fragment",
        [
            ((), {}, TypeError, "subgraph"),
            ((1,), {}, TypeError, "subgraph"),
            ((pelmo.Graph().build(),), {}, TypeError, "subgraph"),
            ((pelmo.Graph(), pelmo.Graph()), {}, TypeError, "branch()"),
            ((pelmo.Graph(),), {"subgraph": pelmo.Graph()}, TypeError, "subgraph"),
            ((), {"graph": pelmo.Graph()}, TypeError, "graph"),
            ((), {"subgraph\x00": pelmo.Graph()}, TypeError, unexpected("subgraph\x00")),
        ],
    )
    def test_branch_parse_arguments_errors(self, args, kwargs, exception, fragment):
        graph = pelmo.Graph()
        with raises(exception, fragment):
            graph.branch(*args, **kwargs)
        # the id is spent only by a branch that happened
        assert graph.branch(pelmo.Graph()) == 1

    def test_branch_by_keyword(self):
        assert pelmo.Graph().branch(subgraph=pelmo.Graph()) == 1


class TestNoArguments:
    @pytest.mark.parametrize("method", ["build", "to_mermaid", "node_count"])
    @pytest.mark.parametrize(
        "args, kwargs, fragment",
        [((None,), {}, "takes no arguments (1 given)"), ((), {"x": 1}, "takes no keyword arguments")],
        ids=["positional", "keyword"],
    )
    def test_arguments_are_refused(self, method, args, kwargs, fragment):
        graph = pelmo.Graph()
        graph.add(noop)
        owner = graph if method == "build" else graph.build()
        with raises(TypeError, f"{method}() {fragment}"):
            getattr(owner, method)(*args, **kwargs)
        # a refused build leaves the graph to be built
        dag = owner.build() if method == "build" else owner
        assert dag.node_count() == 1


# Calls refused after the callable and the label were taken in: each must let
# go of both.
REFUSED_PARSES = {
    "add-taken": lambda f, label: taken_graph().add(f, label),
    "add-bad-inputs": lambda f, label: pelmo.Graph().add(f, label, {"a": 1}),
    "add-bad-outputs": lambda f, label: pelmo.Graph().add(f, label, outputs=[("a", "x", "y")]),
    "add-unknown-keyword": lambda f, label: pelmo.Graph().add(f, label, bogus=1),
    "variants-taken": lambda f, label: taken_graph().variants([f, f], label),
    "variants-bad-inputs": lambda f, label: pelmo.Graph().variants([f, f], label, [("a", 2)]),
    "variants-bad-outputs": lambda f, label: pelmo.Graph().variants([f], label, outputs="x"),
}


@pytest.mark.parametrize("call", REFUSED_PARSES.values(), ids=REFUSED_PARSES.keys())
def test_refused_parse_keeps_no_reference(call):
    def function(inputs):
        return {}

    label = "".join(["lab", "el"])  # a str of its own, not an interned constant
    before = sys.getrefcount(function), sys.getrefcount(label)
    for _ in range(3):
        with pytest.raises((TypeError, ValueError)):
            call(function, label)
    assert (sys.getrefcount(function), sys.getrefcount(label)) == before


class TestExecute:
    @pytest.mark.parametrize(
        "args, kwargs, exception, fragment",
        [
            ((1,), {}, TypeError, "parallel"),
            ((None,), {}, TypeError, "parallel"),
            ((), {"parallel": "yes"}, TypeError, "parallel"),
            ((True, -1), {}, OverflowError, "'max_threads' must be None or from 0 to 2**64 - 1, not a negative"),
            ((), {"max_threads": 2**64}, OverflowError, "'max_threads' must be None or from 0 to 2**64 - 1, not 2**64"),
            ((False, -(10**5000)), {}, OverflowError, "'max_threads'"),
            ((True, 2.0), {}, TypeError, "max_threads"),
            ((), {"max_threads": "2"}, TypeError, "max_threads"),
            ((True, 2, 3), {}, TypeError, "at most 2 positional arguments"),
            ((), {"inputs": [("a", 1)]}, TypeError, "'inputs' must be a mapping"),
            ((), {"inputs": "a"}, TypeError, "'inputs' must be a mapping"),
            ((), {"inputs": {1: "a"}}, TypeError, "names must be str, not int (1)"),
            ((), {"outputs": "out"}, TypeError, "'outputs' must be an iterable of str, not a str"),
            ((), {"outputs": 3}, TypeError, "'outputs' must be an iterable of str, not int"),
            ((), {"outputs": [b"out"]}, TypeError, "names must be str, not bytes"),
            ((), {"outputs": ["oot"]}, ValueError, "no node writes 'oot'"),
            ((), {"on_error": "ignore"}, ValueError, "'on_error' must be 'print' or 'raise', not 'ignore'"),
            ((), {"on_error": True}, ValueError, "'on_error'"),
            ((), {"on_error": None}, ValueError, "'on_error'"),
            ((True,), {"parallel": True}, TypeError, "parallel"),
            ((), {"threads": 2}, TypeError, "threads"),
            ((), {"parallel\x00": True}, TypeError, unexpected("parallel\x00")),
        ],
    )
    def test_execute_parse_arguments_errors(self, args, kwargs, exception, fragment):
        with raises(exception, fragment):
            one_output_dag().execute(*args, **kwargs)

    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((), {}),
            ((True, 2), {}),
            ((), {"max_threads": 3, "parallel": True}),
            ((True, Index(2)), {}),
            ((True, 2**64 - 1), {}),
            # ignored when running one node after another
            ((False, 0), {}),
            ((False, 2**64 - 1), {}),
            ((), {"inputs": None, "outputs": None, "on_error": "print"}),
            ((), {"inputs": {}, "on_error": "raise"}),
            ((), {"outputs": iter(["out", "out"])}),
        ],
    )
    def test_execute_accepts(self, args, kwargs):
        assert one_output_dag().execute(*args, **kwargs) == {"out": 1}
