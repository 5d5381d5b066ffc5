"""Graph life cycle, branches, the busy marker and the topology a Dag shows."""

import pytest

import pelmo
from support import TAKEN, noop


def produce(name, value):
    return lambda inputs: {name: value}


BUILT = "Graph has already been built"
SUB_TAKEN = "Subgraph has already been built or consumed"


def built(graph):
    graph.build()
    return graph


def consumed(graph):
    pelmo.Graph().branch(graph)
    return graph


def lines(dag):
    return dag.to_mermaid().splitlines()


class TestTakenGraph:
    @pytest.mark.parametrize("take", [built, consumed])
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda g: g.add(noop), TAKEN),
            (lambda g: g.variants([noop]), TAKEN),
            (lambda g: g.branch(pelmo.Graph()), TAKEN),
            (lambda g: g.build(), BUILT),
        ],
        ids=["add", "variants", "branch", "build"],
    )
    def test_taken_graph_rejects(self, take, call, message):
        graph = take(pelmo.Graph())
        with pytest.raises(ValueError) as info:
            call(graph)
        assert str(info.value) == message

    @pytest.mark.parametrize("take", [built, consumed])
    def test_taken_subgraph_rejected_and_receiver_unchanged(self, take):
        graph = pelmo.Graph()
        graph.add(noop)
        with pytest.raises(ValueError) as info:
            graph.branch(take(pelmo.Graph()))
        assert str(info.value) == SUB_TAKEN
        # the failed branch spent no id and copied nothing
        assert graph.branch(pelmo.Graph()) == 1
        assert graph.build().node_count() == 1

    def test_receiver_taken_leaves_subgraph_usable(self):
        subgraph = pelmo.Graph()
        subgraph.add(noop)
        with pytest.raises(ValueError) as info:
            built(pelmo.Graph()).branch(subgraph)
        assert str(info.value) == TAKEN
        subgraph.add(noop)
        assert subgraph.build().node_count() == 2

    def test_receiver_checked_before_subgraph(self):
        with pytest.raises(ValueError) as info:
            built(pelmo.Graph()).branch(built(pelmo.Graph()))
        assert str(info.value) == TAKEN


class TestBranchIds:
    def test_ids_count_per_receiver(self):
        graph = pelmo.Graph()
        assert graph.branch(pelmo.Graph()) == 1  # nothing to attach to yet
        graph.add(noop)
        assert graph.branch(pelmo.Graph()) == 2
        assert pelmo.Graph().branch(pelmo.Graph()) == 1

    def test_branch_into_itself_is_busy(self):
        graph = pelmo.Graph()
        graph.add(noop)
        with pytest.raises(RuntimeError, match="cannot be a branch of itself"):
            graph.branch(graph)
        graph.add(noop)
        assert graph.branch(pelmo.Graph()) == 1
        assert graph.build().node_count() == 2

    def test_same_subgraph_twice(self):
        graph = pelmo.Graph()
        subgraph = pelmo.Graph()
        subgraph.add(noop)
        graph.add(noop)
        assert graph.branch(subgraph) == 1
        with pytest.raises(ValueError) as info:
            graph.branch(subgraph)
        assert str(info.value) == SUB_TAKEN
        assert graph.build().node_count() == 2


class ReenteringSequence:
    """Calls `action` from inside the old-style (__getitem__) iteration and
    records what it raised."""

    def __init__(self, action):
        self.action = action
        self.errors = []

    def _reenter(self):
        try:
            self.action()
        except Exception as error:
            self.errors.append(error)

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index >= 1:
            raise IndexError(index)
        self._reenter()
        return noop


class ReenteringIterable(ReenteringSequence):
    """The same, from __iter__."""

    def __getitem__(self, index):
        return noop

    def __iter__(self):
        self._reenter()
        return iter([noop])


class TestBusy:
    @pytest.mark.parametrize("kind", [ReenteringIterable, ReenteringSequence])
    def test_reentering_same_graph_raises_inside(self, kind):
        graph = pelmo.Graph()
        sequence = kind(lambda: graph.add(noop))
        graph.variants(sequence)
        assert [type(error) for error in sequence.errors] == [RuntimeError]
        # the inner add did nothing; the graph is free again
        graph.add(noop)
        assert graph.build().node_count() == 2

    def test_busy_subgraph_cannot_be_branched_away(self):
        other = pelmo.Graph()
        graph = pelmo.Graph()
        sequence = ReenteringIterable(lambda: other.branch(graph))
        graph.variants(sequence)
        assert [type(error) for error in sequence.errors] == [RuntimeError]
        # neither graph was changed by the refused branch
        assert graph.build().node_count() == 1
        assert other.branch(pelmo.Graph()) == 1

    def test_busy_cleared_after_failure(self):
        graph = pelmo.Graph()

        class Failing:
            def __len__(self):
                return 1

            def __getitem__(self, index):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            graph.variants(Failing())
        graph.add(noop)
        assert graph.build().node_count() == 1


class TestTopology:
    def test_node_count_includes_variant_paths(self):
        graph = pelmo.Graph()
        graph.add(noop)
        graph.variants([noop, noop, noop])
        graph.add(noop)  # one per variant path
        assert graph.build().node_count() == 7

    def test_branch_copied_per_variant_path(self):
        subgraph = pelmo.Graph()
        subgraph.add(noop)
        subgraph.add(noop)
        graph = pelmo.Graph()
        graph.add(noop)
        graph.variants([noop, noop, noop])
        graph.add(noop)
        graph.branch(subgraph)
        assert graph.build().node_count() == 7 + 3 * 2

    def test_branch_after_add_hangs_off_last_node(self):
        subgraph = pelmo.Graph()
        subgraph.add(noop, "Side")
        graph = pelmo.Graph()
        graph.add(noop, "A")
        graph.add(noop, "B")
        graph.branch(subgraph)
        text = lines(graph.build())
        assert '    2["Side"]' in text
        assert "    1 --> 2" in text
        assert "    0 --> 2" not in text
        assert "    style 2 fill:#e1f5ff" in text

    def test_branch_after_variants_hangs_off_their_parent(self):
        subgraph = pelmo.Graph()
        subgraph.add(noop, "Side")
        graph = pelmo.Graph()
        graph.add(noop, "Load")
        graph.variants([noop, noop], "V")
        graph.branch(subgraph)
        dag = graph.build()
        assert dag.node_count() == 4
        text = lines(dag)
        assert '    3["Side"]' in text
        assert "    0 --> 3" in text
        assert not any(line.endswith("--> 3") and not line.startswith("    0 ") for line in text)

    def test_branch_on_empty_graph_joins_as_separate_roots(self):
        subgraph = pelmo.Graph()
        subgraph.add(produce("n", 1), "Side", outputs={"n": "side"})
        graph = pelmo.Graph()
        assert graph.branch(subgraph) == 1
        graph.add(produce("v", 2), "Main", outputs={"v": "main"})
        dag = graph.build()
        assert dag.node_count() == 2
        assert not any("-->" in line for line in lines(dag))
        assert dag.execute() == {"main": 2, "side": 1}
        assert dag.execute(parallel=True) == {"main": 2, "side": 1}

    def test_empty_variants_end_the_chain(self):
        # An empty sweep leaves no tail: the next node starts a new root, and
        # a branch still attaches where the sweep would have been.
        graph = pelmo.Graph()
        graph.add(produce("v", 1), "A", outputs={"v": "data"})
        graph.variants([])
        side = pelmo.Graph()
        side.add(label="S")
        graph.branch(side)
        graph.add(lambda d: {"w": d.get("x", 0) + 1}, "B", inputs={"data": "x"}, outputs={"w": "out"})
        dag = graph.build()
        text = lines(dag)
        assert dag.node_count() == 3
        assert "    0 --> 1" in text
        assert not any(line.endswith("| 2") or line.endswith("--> 2") for line in text)
        assert dag.execute() == {"data": 1, "out": 2}


class TestMermaid:
    def test_empty_dag(self):
        assert pelmo.Graph().build().to_mermaid() == "graph TD\n"

    def test_small_graph_lines(self):
        graph = pelmo.Graph()
        graph.add(produce("v", 1), "Load", outputs=[("v", "data")])
        graph.add(noop, inputs=[("data", "x")])
        text = graph.build().to_mermaid()
        assert text.startswith("graph TD\n")
        assert text.endswith("\n")
        assert text.splitlines()[1:] == [
            '    0["Load"]',
            '    1["Node 1"]',
            "    0 -->|data → x| 1",
        ]

    def test_unrelated_dependency_arrow_is_plain(self):
        graph = pelmo.Graph()
        graph.add(noop, "A", outputs={"v": "data"})
        graph.add(noop, "B", inputs={"other": "x"})
        assert "    0 --> 1" in lines(graph.build())

    def test_variant_labels_and_styles(self):
        graph = pelmo.Graph()
        graph.add(noop, "Load")
        graph.variants([noop, noop], "Scale")
        text = lines(graph.build())
        assert '    1["Scale (v0)"]' in text
        assert '    2["Scale (v1)"]' in text
        for style in [
            "    style 1 fill:#e1f5ff",
            "    style 2 fill:#e1f5ff",
            "    style 1 fill:#ffe1e1",
            "    style 2 fill:#e1ffe1",
        ]:
            assert style in text

    def test_root_variants_are_not_branch_styled(self):
        graph = pelmo.Graph()
        graph.variants([noop])
        text = lines(graph.build())
        assert "    style 0 fill:#ffe1e1" in text
        assert "    style 0 fill:#e1f5ff" not in text
