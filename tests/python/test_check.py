"""pelmo.check against a brute-force model of ancestry, and the messages it
writes for the pitfalls users meet."""

from functools import partial

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import pelmo  # noqa: E402
from test_fuzz import fuzz  # noqa: E402

# Few names, so that random mappings collide: races, overwrites and unset
# names all turn up often.
NAMES = "abcd"
labels = st.one_of(st.none(), st.sampled_from(["L", "it's", "two\nlines"]))
ins = st.dictionaries(st.sampled_from(NAMES), st.sampled_from("pq"), max_size=2)
# Several results may land on one context name.
outs = st.dictionaries(st.sampled_from("rst"), st.sampled_from(NAMES), max_size=2)


def program(depth):
    step = st.one_of(
        st.tuples(st.just("add"), labels, ins, outs),
        st.tuples(st.just("variants"), st.integers(0, 3), labels, ins, outs),
    )
    if depth:
        step = st.one_of(step, st.tuples(st.just("branch"), program(depth - 1)))
    return st.lists(step, max_size=5)


def build(steps):
    graph = pelmo.Graph()
    for step in steps:
        if step[0] == "add":
            graph.add(None, *step[1:])
        elif step[0] == "variants":
            graph.variants([None] * step[1], *step[2:])
        else:
            graph.branch(build(step[1]))
    return graph


class Records:
    """A Dag as check sees it, for shapes the builder never makes."""

    def __init__(self, nodes):
        self._nodes = nodes

    def nodes(self):
        return list(self._nodes)


@st.composite
def several_dependencies(draw):
    size = draw(st.integers(0, 10))
    ids = draw(st.permutations(range(size)))
    nodes = []
    for i in range(size):
        deps = draw(st.lists(st.integers(0, i - 1), max_size=3, unique=True)) if i else []
        level = 1 + max((nodes[d].level for d in deps), default=-1)
        nodes.append(pelmo.Node(ids[i], draw(labels), None, draw(ins), draw(outs),
                                tuple(ids[d] for d in deps), level, draw(st.sampled_from([None, 0, 1])),
                                False))
    return Records(nodes)


def related(nodes):
    """Whether two nodes are one, or one is the other's ancestor: by the
    transitive closure of the dependencies."""
    above = {}
    for node in nodes:
        above[node.id] = set()
        for d in node.dependencies:
            above[node.id] |= above[d] | {d}
    return lambda u, v: u == v or u in above[v] or v in above[u]


def model(nodes, inputs, ordered):
    """The three definitions, read literally."""
    names = []
    for node in nodes:
        for name in [*node.inputs, *node.outputs.values()]:
            if name not in names:
                names.append(name)
    rank = {node.id: i for i, node in enumerate(nodes)}
    found = []
    for kind in ["race", "overwrite", "unset"]:
        for name in names:
            readers = [n.id for n in nodes if name in n.inputs]
            writers = [n.id for n in nodes if name in n.outputs.values()]
            if kind == "race":
                pairs = [(r, w) for r in readers for w in writers if not ordered(r, w)]
                involved = {x for pair in pairs for x in pair}
            elif kind == "overwrite":
                involved = {x for u in writers for v in writers if not ordered(u, v) for x in (u, v)}
            else:
                involved = set(readers) if not writers and name not in inputs else set()
            if involved:
                found.append((kind, name, tuple(sorted(involved, key=rank.get))))
    return found


@fuzz(400)
@given(st.one_of(program(2).map(lambda steps: build(steps).build()), several_dependencies()),
       st.sets(st.sampled_from(NAMES)))
def test_findings_match_the_model(dag, inputs):
    nodes = dag.nodes()
    ordered = related(nodes)
    findings = pelmo.check(dag, inputs=inputs)
    assert [(f.kind, f.name, f.nodes) for f in findings] == model(nodes, inputs, ordered)
    for finding in findings:
        assert "\n" not in finding.message and repr(finding.name) in finding.message
        if finding.kind == "overwrite" and len(finding.nodes) > 2:
            # The message may claim that no writer comes before another
            # only when that is so.
            unordered = not any(ordered(u, v) for u in finding.nodes for v in finding.nodes if u != v)
            assert ("none before another" in finding.message) == unordered


def never(inputs):
    raise AssertionError("check ran a callable")


def sibling_branches():
    graph = pelmo.Graph()
    graph.add(never, "Start")
    writer, reader = pelmo.Graph(), pelmo.Graph()
    writer.add(never, "Write", outputs={"v": "x"})
    reader.add(never, "Read", inputs={"x": "x"})
    graph.branch(writer)
    graph.branch(reader)
    return graph


def sweep(width):
    graph = pelmo.Graph()
    graph.add(never, "Data", outputs={"data": "data"})
    graph.variants([never] * width, "Fit", inputs={"data": "d"}, outputs={"score": "score"})
    return graph


def mistyped():
    graph = pelmo.Graph()
    graph.add(never, "Load", outputs={"rows": "rows"})
    graph.add(never, "Count", inputs={"row": "rows"})
    return graph


CASES = {
    "sibling branch race": (sibling_branches, (), [(
        "race", "x", (1, 2),
        "node 2 ('Read') reads 'x' and node 1 ('Write') writes it, neither before the other:"
        " what the read sees depends on the mode and the order")]),
    "variants overwrite": (partial(sweep, 5), (), [(
        "overwrite", "score", (1, 2, 3, 4, 5),
        "node 1 ('Fit (v0)'), node 2 ('Fit (v1)'), node 3 ('Fit (v2)'), node 4 ('Fit (v3)') and"
        " node 5 ('Fit (v4)') write 'score', none before another (variants of a sweep share its"
        " outputs): only one value survives")]),
    # The message names ten nodes; `nodes` holds them all.
    "wide sweep": (partial(sweep, 12), (), [(
        "overwrite", "score", tuple(range(1, 13)),
        ", ".join(f"node {k} ('Fit (v{k - 1})')" for k in range(1, 11)) + " and 2 more write 'score',"
        " none before another (variants of a sweep share its outputs): only one value survives")]),
    "mistyped input": (mistyped, (), [(
        "unset", "row", (1,),
        "node 1 ('Count') reads 'row', which no node writes and which is not among the inputs:"
        " a typo or a missing input?")]),
    "given input": (mistyped, {"row": 0}, []),
}


@pytest.mark.parametrize("make, inputs, expected", CASES.values(), ids=CASES)
def test_messages(make, inputs, expected):
    assert [tuple(f) for f in pelmo.check(make().build(), inputs)] == expected


def test_inputs_must_not_be_a_str():
    with pytest.raises(TypeError, match="not a str"):
        pelmo.check(mistyped().build(), "row")
