"""Property-based fuzzing of the argument conversions and the data flow.

Every property checks two things: only the documented exception types come
out of a call, and a rejected call leaves the graph exactly as it was (a
reference graph receives only the calls that succeeded, and both must build
to the same DAG).
"""

import threading

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, assume, given, settings, strategies as st  # noqa: E402

import pelmo  # noqa: E402
from support import Index  # noqa: E402

# Deterministic for CI: the same examples every run, no example database, no
# deadline (the native calls and thread start-up have erratic latencies).
def fuzz(examples):
    return settings(
        max_examples=examples,
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


class S(str):
    """A str subclass: must be treated exactly like str."""


class D(dict):
    pass


class L(list):
    pass


class T(tuple):
    pass


SURROGATES = ["\ud800", "\udbff", "\udc00", "\udfff"]

# Text that is valid UTF-8 once encoded, biased towards the awkward cases:
# NUL, Mermaid/markup punctuation, non-ASCII and astral characters.
clean_chars = st.one_of(
    st.sampled_from(["\x00", "|", '"', "]", "[", "\n", "→", "é", "中", "\U0001f600", "a"]),
    st.characters(exclude_categories=("Cs",)),
)
clean_text = st.text(clean_chars, max_size=8)
bad_text = st.builds(
    lambda a, s, b: a + s + b, clean_text, st.sampled_from(SURROGATES), clean_text
)


def maybe_sub(text_strategy):
    return st.one_of(text_strategy, text_strategy.map(S))


any_str = maybe_sub(st.one_of(clean_text, clean_text, bad_text))
non_str = st.one_of(
    st.integers(), st.none(), st.binary(max_size=4), st.floats(allow_nan=False),
    st.just(object()), st.tuples(clean_text), st.just(["a"]),
)
element = st.one_of(any_str, any_str, any_str, non_str)


def has_surrogate(s):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in s)


def element_errors(x):
    if not isinstance(x, str):
        return {TypeError}
    if has_surrogate(x):
        return {UnicodeEncodeError}
    return set()


def mapping_errors(obj):
    """The exception types a conversion of `obj` may raise; empty if valid.

    With several faults in one mapping the module may report any of them
    (their order inside a mapping is not part of the contract), so the oracle
    collects all of them.
    """
    if obj is None:
        return set()
    if isinstance(obj, dict):
        errs = set()
        for k, v in obj.items():
            errs |= element_errors(k) | element_errors(v)
        return errs
    if isinstance(obj, list):
        errs = set()
        for item in obj:
            if not isinstance(item, tuple):
                errs.add(TypeError)
            elif len(item) != 2:
                errs.add(ValueError)
                for x in item:
                    errs |= element_errors(x)
            else:
                errs |= element_errors(item[0]) | element_errors(item[1])
        return errs
    return {ValueError}


pair = st.tuples(element, element)
list_item = st.one_of(
    pair, pair, pair.map(T),
    st.lists(element, max_size=3).map(tuple),  # wrong lengths, incl. 2
    st.lists(any_str, min_size=2, max_size=2),  # a list, not a tuple
    non_str,
)
# dict keys must be hashable, so no list among them
hashable_element = st.one_of(any_str, any_str, any_str, st.integers(), st.none(), st.binary(max_size=4),
                             st.floats(allow_nan=False), st.tuples(clean_text))
dict_map = st.dictionaries(hashable_element, element, max_size=3)
list_map = st.lists(list_item, max_size=3)
mapping = st.one_of(
    st.none(),
    dict_map, dict_map.map(D),
    list_map, list_map.map(L),
    # non-dict, non-list containers and other objects
    st.tuples(pair), st.sets(st.tuples(clean_text, clean_text), max_size=2),
    st.frozensets(clean_text, max_size=2), any_str, st.binary(max_size=3),
    st.integers(), st.builds(lambda: iter([("a", "b")])), st.just(range(2)),
)
# Mostly valid mappings, so that successful calls interleave with rejected
# ones and a rejected call that corrupted state would show up later.
# "ctx" is what the seed node writes: inputs reading it become labelled
# Mermaid arrows, so the comparison of the two graphs sees the mappings.
valid_name = st.one_of(maybe_sub(clean_text), st.just("ctx"))
valid_pairs = st.lists(st.tuples(valid_name, valid_name), max_size=2)
valid_mapping = st.one_of(
    st.none(), valid_pairs.map(dict), valid_pairs.map(D), valid_pairs,
    valid_pairs.map(L), valid_pairs.map(lambda ps: [T(p) for p in ps]),
)
mapping_arg = st.one_of(valid_mapping, valid_mapping, mapping)

label_st = st.one_of(st.none(), valid_name, valid_name, any_str, st.integers(), st.binary(max_size=3))


def label_errors(label):
    return set() if label is None else element_errors(label)


def allowed_add_errors(label, inputs, outputs):
    """Allowed exception types for add/variants with these arguments."""
    if label is not None and not isinstance(label, str):
        # argument binding comes first
        return {TypeError}
    lab = label_errors(label)
    ins = mapping_errors(inputs)
    # inputs are converted before outputs
    return lab | ins if ins else lab | mapping_errors(outputs)


class FailingSequence:
    class Failure(Exception):
        pass

    def __init__(self, length, fail_at):
        self.length, self.fail_at = length, fail_at

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i >= self.length:
            raise IndexError(i)
        if i == self.fail_at:
            raise self.Failure(i)
        return None


def make_functions(kind, n):
    """Returns (functions, expected exception type or None, node count)."""
    if kind == "list":
        return [None] * n, None, n
    if kind == "tuple":
        return (None,) * n, None, n
    if kind == "range":
        return range(n), None, n
    if kind == "L":
        return L([None] * n), None, n
    if kind == "str":
        return "f" * n, TypeError, 0
    if kind == "dict":
        return {i: None for i in range(n)}, TypeError, 0
    if kind == "set":
        return set(range(n)), TypeError, 0
    if kind == "gen":
        return (None for _ in range(n)), TypeError, 0
    if kind == "fail":
        return FailingSequence(n + 1, n), FailingSequence.Failure, 0
    raise AssertionError(kind)


FUNCTION_KINDS = ["list", "tuple", "range", "L", "str", "dict", "set", "gen", "fail"]


def mermaid_lines(dag):
    # Arrow labels of an edge carrying several names come in no fixed order.
    # Names may hold newlines or "|", which cut a line or confuse this parse;
    # both graphs are cut the same way, so the pieces still compare equal.
    out = []
    for line in dag.to_mermaid().split("\n"):
        if "-->|" in line and line.count("|") >= 2:
            head, rest = line.split("|", 1)
            labels, tail = rest.rsplit("|", 1)
            out.append(repr((head, sorted(labels.split("<br/>")), tail)))
        else:
            out.append(line)
    return sorted(out)


def assert_same(graph, reference):
    a, b = graph.build(), reference.build()
    assert a.node_count() == b.node_count()
    assert mermaid_lines(a) == mermaid_lines(b)
    return a


op_st = st.one_of(
    st.tuples(st.just("add"), label_st, mapping_arg, mapping_arg),
    st.tuples(
        st.just("variants"),
        st.tuples(st.sampled_from(FUNCTION_KINDS), st.integers(0, 3)),
        label_st, mapping_arg, mapping_arg,
    ),
    st.tuples(st.just("branch"), st.sampled_from(["fresh", "empty", "taken", "self", "int", "none"])),
)


def seed(graph):
    # Something for the new nodes to hang from, so that mappings show up as
    # Mermaid arrows and a broken mapping would be visible.
    graph.add(None, "root", outputs={"o": "ctx"})


def run_branch(graph, kind):
    if kind == "self":
        return graph.branch(graph)
    if kind == "int":
        return graph.branch(3)
    if kind == "none":
        return graph.branch(None)
    sub = pelmo.Graph()
    if kind == "fresh":
        sub.add(None, "side", inputs={"ctx": "c"})
    elif kind == "taken":
        sub.build()
    return graph.branch(sub)


BRANCH_ERRORS = {"self": RuntimeError, "int": TypeError, "none": TypeError, "taken": ValueError}


@pytest.mark.long
@fuzz(500)
@given(st.lists(op_st, min_size=1, max_size=6))
def test_rejected_calls_leave_graph_unchanged(ops):
    graph, reference = pelmo.Graph(), pelmo.Graph()
    seed(graph)
    seed(reference)
    for op in ops:
        if op[0] == "add":
            _, label, inputs, outputs = op
            allowed = allowed_add_errors(label, inputs, outputs)
            call = lambda g: g.add(None, label, inputs, outputs)  # noqa: E731
        elif op[0] == "variants":
            _, (kind, n), label, inputs, outputs = op
            fn_error = make_functions(kind, n)[1]
            if fn_error is not None or (label is not None and not isinstance(label, str)):
                # functions and label are converted first; their relative
                # order is not part of the contract
                allowed = ({fn_error} - {None}) | (
                    {TypeError} if label is not None and not isinstance(label, str) else set()
                )
            else:
                allowed = allowed_add_errors(label, inputs, outputs)
            call = lambda g: g.variants(make_functions(kind, n)[0], label, inputs, outputs)  # noqa: E731
        else:
            kind = op[1]
            allowed = {BRANCH_ERRORS[kind]} if kind in BRANCH_ERRORS else set()
            call = lambda g: run_branch(g, kind)  # noqa: E731
        try:
            result = call(graph)
        except BaseException as exc:  # anything undocumented must fail here
            assert allowed, f"{op!r} raised {exc!r} but should succeed"
            assert type(exc) in allowed, f"{op!r} raised {exc!r}, expected one of {allowed}"
            continue
        assert not allowed, f"{op!r} succeeded but should raise one of {allowed}"
        # Mirror the success; branch ids must agree too (a rejected branch
        # must not use up an id).
        assert call(reference) == result
    assert_same(graph, reference)


class Reentrant:
    """A functions sequence whose iteration calls back into the graph."""

    def __init__(self, graph, action, swallow, length=2):
        self.graph, self.action, self.swallow, self.length = graph, action, swallow, length
        self.seen = []

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i >= self.length:
            raise IndexError(i)
        if i == 0:
            try:
                self.reenter()
            except BaseException as exc:
                self.seen.append(type(exc))
                if not self.swallow:
                    raise
        return None

    def reenter(self):
        g = self.graph
        if self.action == "add":
            g.add(None, "inner")
        elif self.action == "variants":
            g.variants([None], "inner")
        elif self.action == "branch":
            side = pelmo.Graph()
            side.add(None, "inner")
            g.branch(side)
        elif self.action == "build":
            g.build()
        elif self.action == "as_subgraph":
            pelmo.Graph().branch(g)


@fuzz(100)
@given(
    st.sampled_from(["add", "variants", "branch", "build", "as_subgraph"]),
    st.booleans(),
    st.integers(1, 3),
    label_st,
)
def test_reentry_is_refused(action, swallow, length, label):
    graph, reference = pelmo.Graph(), pelmo.Graph()
    seed(graph)
    seed(reference)
    seq = Reentrant(graph, action, swallow, length)
    # The label may be converted before or after the functions are read.
    if label is not None and not isinstance(label, str):
        label_errs = {TypeError}
    else:
        label_errs = label_errors(label)
    try:
        graph.variants(seq, label)
    except BaseException as exc:
        if not seq.seen:
            assert type(exc) in label_errs, repr(exc)
        else:
            assert seq.seen == [RuntimeError]
            allowed = label_errs | (set() if swallow else {RuntimeError})
            assert type(exc) in allowed, repr(exc)
    else:
        # the inner call must have been refused, and the outer one may only
        # succeed when nothing else was wrong
        assert seq.seen == [RuntimeError]
        assert swallow and not label_errs
        reference.variants([None] * length, label)
    # The graph is still usable after the refused inner call.
    graph.add(None, "after")
    reference.add(None, "after")
    assert_same(graph, reference)


huge = st.one_of(st.integers(2**64, 2**70), st.integers(-(2**70), -1))
good_int = st.integers(0, 2**64 - 1)
max_threads_st = st.one_of(
    st.none(), st.integers(0, 8), good_int, huge, st.booleans(),
    st.one_of(good_int, huge).map(Index),
    st.just(Index(1.0)), st.just(Index("2")),  # __index__ returning a non-int
    st.floats(allow_nan=False), any_str, st.binary(max_size=2), st.just([1]),
)
parallel_st = st.one_of(
    st.booleans(), st.booleans(), st.none(), st.integers(0, 1), st.floats(0, 1),
    any_str, st.just([]),
)


def max_threads_error(m):
    if m is None:
        return None
    if isinstance(m, Index):
        m = m.value
        if not isinstance(m, int):
            return TypeError
    if not isinstance(m, int):
        return TypeError
    return None if 0 <= m < 2**64 else OverflowError


def small_dag():
    graph = pelmo.Graph()
    graph.add(lambda d: {"a": 1}, outputs={"a": "x"})
    graph.variants([lambda d: {"b": d["x"] + 1}, lambda d: {"c": d["x"] + 2}],
                   "V", inputs={"x": "x"}, outputs={"b": "b", "c": "c"})
    return graph.build()


SMALL = small_dag()


@fuzz(300)
@given(parallel_st, max_threads_st)
def test_execute_arguments(parallel, max_threads):
    # The argument table holds in both modes: sequential runs ignore
    # max_threads for scheduling, not for validation.
    allowed = set()
    if type(parallel) is not bool:
        allowed.add(TypeError)
    err = max_threads_error(max_threads)
    if err is not None:
        allowed.add(err)
    try:
        result = SMALL.execute(parallel=parallel, max_threads=max_threads)
    except BaseException as exc:
        assert allowed, f"raised {exc!r}"
        assert type(exc) in allowed, f"raised {exc!r}, expected one of {allowed}"
        return
    assert not allowed, f"accepted, expected one of {allowed}"
    assert result == {"x": 1, "b": 2, "c": 3}


def verbatim(text):
    return text != "" and not set(text) & set('"#\\;$()@[]{}|`\u00b6\ufb02')


# Valid names only: distinct after plain-str comparison.
name = maybe_sub(clean_text)


def distinct(n):
    return st.lists(name, min_size=n, max_size=n, unique_by=str)


@fuzz(300)
@given(
    st.integers(1, 4).flatmap(lambda n: st.tuples(distinct(n), distinct(n), distinct(n))),
    st.sampled_from(["dict", "D", "list", "L", "T"]),
    maybe_sub(clean_text),
    st.integers(1, 3),
    st.sampled_from([(False, None), (True, None), (True, 1), (True, 0), (True, 3)]),
)
def test_values_flow_under_their_names(names, form, label, n_variants, mode):
    results, contexts, args = names
    out_names = [f"\x00out{k}é" for k in range(n_variants)]
    assume(not set(map(str, contexts)) & set(out_names))
    values = [object() for _ in results]

    def as_mapping(pairs):
        if form == "dict":
            return dict(pairs)
        if form == "D":
            return D(pairs)
        if form == "list":
            return list(pairs)
        if form == "L":
            return L(pairs)
        return [T(p) for p in pairs]

    # The producer also returns a key not in its outputs: it must be ignored.
    produced = dict(zip(results, values))
    stray = "stray" + "".join(map(str, results))
    produced[stray] = object()
    outputs = as_mapping(list(zip(results, contexts)))
    inputs = as_mapping(list(zip(contexts, args)))

    seen = {}
    lock = threading.Lock()

    def consumer(k):
        def run(d):
            with lock:
                seen[k] = dict(d)
            return {f"r{k}": k}
        return run

    graph = pelmo.Graph()
    graph.add(lambda d: produced, label, outputs=outputs)
    graph.variants([consumer(k) for k in range(n_variants)], label, inputs=inputs,
                   outputs={f"r{k}": out_names[k] for k in range(n_variants)})
    dag = graph.build()
    assert dag.node_count() == 1 + n_variants

    parallel, max_threads = mode
    context = dag.execute(parallel=parallel, max_threads=max_threads)

    expected_args = {str(a): v for a, v in zip(args, values)}
    assert sorted(seen) == list(range(n_variants))
    for k in range(n_variants):
        got = seen[k]
        assert set(got) == set(expected_args)
        for a, v in expected_args.items():
            assert got[a] is v  # passed by reference, under exactly that name
    assert set(context) == set(map(str, contexts)) | set(out_names)
    for c, v in zip(contexts, values):
        assert context[c] is v
    for k, o in enumerate(out_names):
        assert context[o] == k

    # Names Mermaid would misread come out as entity codes (checked against
    # Mermaid itself by `make check-mermaid`); all others verbatim.
    text = dag.to_mermaid()
    if verbatim(label):
        assert f'["{label}"]' in text
        for k in range(n_variants):
            assert f'["{label} (v{k})"]' in text
    for c, a in zip(contexts, args):
        if verbatim(c) and verbatim(a):
            assert f"{c} → {a}" in text


# Graphs of plain names and labels, which Mermaid text shows as they are.
plain_name = st.sampled_from("abcd")
plain_pairs = st.lists(st.tuples(plain_name, plain_name), max_size=3)
plain_label = st.one_of(st.none(), st.sampled_from(["Load", "Fit", "Score"]))
plain_step = st.deferred(lambda: st.one_of(
    st.tuples(st.just("add"), plain_label, plain_pairs, plain_pairs),
    st.tuples(st.just("variants"), st.integers(0, 3), plain_label, plain_pairs, plain_pairs),
    st.tuples(st.just("branch"), st.lists(plain_step, max_size=3)),
))


def plain_graph(steps):
    graph = pelmo.Graph()
    for step in steps:
        if step[0] == "add":
            graph.add(None, step[1], inputs=step[2], outputs=step[3])
        elif step[0] == "variants":
            graph.variants([None] * step[1], step[2], inputs=step[3], outputs=step[4])
        else:
            graph.branch(plain_graph(step[1]))
    return graph


def mermaid_from_nodes(nodes):
    by_id = {node.id: node for node in nodes}
    lines = ["graph TD"] + [f'    {n.id}["{n.label if n.label is not None else f"Node {n.id}"}"]'
                            for n in sorted(nodes)]
    for node in sorted(nodes):
        for parent in dict.fromkeys(node.dependencies):
            flows = [f"{ctx} → {arg}" for ctx, arg in node.inputs.items() if ctx in by_id[parent].outputs.values()]
            lines.append(f"    {parent} -->|{'<br/>'.join(flows)}| {node.id}" if flows else f"    {parent} --> {node.id}")
    lines += [f"    style {n.id} fill:#e1f5ff" for n in sorted(nodes) if n.branch]
    fills = ["#ffe1e1", "#e1ffe1", "#ffe1ff", "#ffffe1"]
    lines += [f"    style {n.id} fill:{fills[n.variant % 4]}" for n in sorted(nodes) if n.variant is not None]
    return "\n".join(lines) + "\n"


@fuzz(200)
@given(st.lists(plain_step, max_size=6))
def test_nodes_rebuild_the_mermaid_topology(steps):
    dag = plain_graph(steps).build()
    nodes = dag.nodes()
    assert sorted(node.id for node in nodes) == list(range(dag.node_count()))
    position = {node.id: index for index, node in enumerate(nodes)}
    for node in nodes:
        levels = [nodes[position[parent]].level for parent in node.dependencies]
        assert all(position[parent] < position[node.id] for parent in node.dependencies)
        assert node.level == (max(levels) + 1 if levels else 0)
    assert mermaid_from_nodes(nodes) == dag.to_mermaid()
