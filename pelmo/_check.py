"""`check`: the pitfalls of how a Dag's nodes share names, found from its
records alone, without running anything."""

from __future__ import annotations

from bisect import bisect_left, bisect_right
from collections import defaultdict
from typing import DefaultDict, Dict, Iterable, List, Protocol, Sequence, Tuple

from ._records import Finding, Node, describe_node


class _HasNodes(Protocol):
    def nodes(self) -> List[Node]: ...


# Findings come grouped by kind, in this order.
_KINDS = ("race", "overwrite", "unset")

# A sweep over a wide graph can involve tens of thousands of nodes in one
# finding; its message names this many and counts the rest, which stay
# listed in full in `nodes`.
_NAMED = 10


class _Forest:
    """Ancestry in a graph where every node has at most one dependency.

    Node i's subtree holds exactly the nodes whose preorder number lies in
    [first[i], last[i]]. Such intervals are nested or disjoint, so two nodes
    are related (one is the other, or an ancestor of it) exactly when their
    intervals meet, and counting the members of a set related to a node
    takes two bisections over the set's sorted bounds.
    """

    def __init__(self, parents: Sequence[int]) -> None:
        n = len(parents)
        size = [1] * n
        # Execution order puts a dependency before its dependents, so one
        # backward pass sums the subtrees and one forward pass numbers them.
        for i in range(n - 1, -1, -1):
            p = parents[i]
            if p >= 0:
                size[p] += size[i]
        first = [0] * n
        free = [0] * n  # the next preorder number for a child of i
        roots_end = 0
        for i in range(n):
            p = parents[i]
            if p < 0:
                start = roots_end
                roots_end += size[i]
            else:
                start = free[p]
                free[p] = start + size[i]
            first[i] = start
            free[i] = start + 1
        self.first = first
        self.last = [f + s - 1 for f, s in zip(first, size)]

    def ordered(self, u: int, v: int) -> bool:
        """Whether u and v are one node, or one is an ancestor of the other."""
        a, b = self.first[u], self.first[v]
        return a <= b <= self.last[u] or b <= a <= self.last[v]

    def loose(self, nodes: Sequence[int], others: Sequence[int]) -> List[int]:
        """The members of `nodes` with a member of `others`, other than
        themselves, that is neither an ancestor nor a descendant."""
        first, last = self.first, self.last
        if len(others) == 1:
            # The usual case, one writer per name, needs no bisection.
            return [v for v in nodes if not self.ordered(v, others[0])]
        starts = sorted(first[o] for o in others)
        ends = sorted(last[o] for o in others)
        total = len(others)
        # The others related to v, v included, are those whose intervals
        # meet v's: those that start by its end, less those that end before
        # its start.
        return [v for v in nodes if bisect_right(starts, last[v]) - bisect_left(ends, first[v]) < total]

    def clashing(self, group: Sequence[int]) -> List[int]:
        """The members of `group` with another member that is neither an
        ancestor nor a descendant, in execution order."""
        first, last = self.first, self.last
        ranked = sorted(group, key=first.__getitem__)
        # In preorder, a member related to every other one is an ancestor of
        # those before it and holds those after it, the last one included.
        # The members that hold the last one are its ancestors, nested, and
        # any other member is unrelated to them: so the members related to
        # all are the leading ones that hold the last one.
        end = first[ranked[-1]]
        chain = 0
        while chain < len(ranked) and last[ranked[chain]] >= end:
            chain += 1
        return sorted(ranked[chain:])

    def unordered(self, group: Sequence[int]) -> bool:
        """Whether no member of `group` is an ancestor of another."""
        first, last = self.first, self.last
        ranked = sorted(group, key=first.__getitem__)
        # Nested intervals: a member holding a later one holds the next.
        return all(last[a] < first[b] for a, b in zip(ranked, ranked[1:]))


class _Dense:
    """Ancestry in any DAG, as bitsets of related nodes: quadratic memory,
    which the fast path avoids. Graph never builds a node with several
    dependencies, so only a Dag from elsewhere would need this."""

    def __init__(self, dependencies: Sequence[Sequence[int]]) -> None:
        n = len(dependencies)
        above = [0] * n
        for i, deps in enumerate(dependencies):
            bits = 0
            for d in deps:
                bits |= above[d] | (1 << d)
            above[i] = bits
        below = [0] * n
        for i in range(n - 1, -1, -1):
            for d in dependencies[i]:
                below[d] |= below[i] | (1 << i)
        self.related = [a | b | (1 << i) for i, (a, b) in enumerate(zip(above, below))]

    def ordered(self, u: int, v: int) -> bool:
        return bool(self.related[u] >> v & 1)

    def loose(self, nodes: Sequence[int], others: Sequence[int]) -> List[int]:
        mask = 0
        for o in others:
            mask |= 1 << o
        related = self.related
        return [v for v in nodes if mask & ~related[v]]

    def clashing(self, group: Sequence[int]) -> List[int]:
        return self.loose(group, group)

    def unordered(self, nodes: Sequence[int]) -> bool:
        mask = 0
        for v in nodes:
            mask |= 1 << v
        return not any(mask & self.related[v] & ~(1 << v) for v in nodes)


def _list(descriptions: List[str], total: int) -> str:
    if total > len(descriptions):
        return ", ".join(descriptions) + f" and {total - len(descriptions)} more"
    if total == 1:
        return descriptions[0]
    return ", ".join(descriptions[:-1]) + " and " + descriptions[-1]


def check(dag: _HasNodes, inputs: Iterable[str] = ()) -> List[Finding]:
    """Lists the places where the names a Dag's nodes share make a run's
    result depend on the mode and the order, or on a name nothing provides.

    - "race": a node reads a name that a node neither before nor after it
      (neither an ancestor nor a descendant) writes;
    - "overwrite": nodes neither before the other write one name, so only
      one value survives;
    - "unset": a node reads a name that no node writes and that is not among
      `inputs`, the names a run will be given (`execute(inputs=...)`).

    There is one Finding per kind and name, and its `nodes` are every node
    involved, in execution order. The findings come races first, then
    overwrites, then unset names, each kind in the order in which its names
    first appear in the nodes' mappings. No callable is run.

    `dag` is a Dag, or any object whose `nodes()` lists Node records in
    execution order, as `Dag.nodes()` does.
    """
    if isinstance(inputs, str):
        # A str would pass as an iterable of one-letter names.
        raise TypeError("inputs must be an iterable of names, not a str")
    given = set(inputs)
    records: List[Node] = dag.nodes()
    position = {node.id: i for i, node in enumerate(records)}

    # Each name's readers and writers, as positions in execution order: the
    # first in a dict of ints, any others in lists made only when they come.
    # A list per name would leave hundreds of thousands of new containers
    # behind, and the cyclic collector would then walk all the records more
    # than once.
    first_reader: Dict[str, int] = {}
    more_readers: DefaultDict[str, List[int]] = defaultdict(list)
    first_writer: Dict[str, int] = {}
    more_writers: DefaultDict[str, List[int]] = defaultdict(list)
    for i, (_, _, _, node_inputs, node_outputs, _, _, _, _) in enumerate(records):
        for name in node_inputs:
            if name in first_reader:
                more_readers[name].append(i)
            else:
                first_reader[name] = i
        written: Iterable[str] = node_outputs.values()
        if len(node_outputs) > 1:
            written = dict.fromkeys(written)  # two results may share a name
        for name in written:
            if name in first_writer:
                more_writers[name].append(i)
            else:
                first_writer[name] = i

    def readers(name: str) -> List[int]:
        return [first_reader[name], *more_readers.get(name, ())]

    def writers(name: str) -> List[int]:
        return [first_writer[name], *more_writers.get(name, ())]

    dependencies = [node.dependencies for node in records]
    reach: _Forest | _Dense
    if all(len(d) < 2 for d in dependencies):
        reach = _Forest([position[d[0]] if d else -1 for d in dependencies])
    else:
        reach = _Dense([[position[d] for d in deps] for deps in dependencies])

    def describe(group: List[int]) -> str:
        shown = [describe_node(records[i].id, records[i].label) for i in group[:_NAMED]]
        return _list(shown, len(group))

    # The place of each name in a node's inputs or outputs, made once per
    # mapping that a finding needs: a node may map thousands of names.
    places: Dict[Tuple[int, int], Dict[str, int]] = {}

    def place(i: int, part: int, name: str) -> int:
        if (i, part) not in places:
            names = records[i].inputs if part == 0 else records[i].outputs.values()
            places[(i, part)] = {}
            for k, each in enumerate(names):
                places[(i, part)].setdefault(each, k)
        return places[(i, part)][name]

    def mentioned(name: str) -> Tuple[int, int, int]:
        # Where the name first appears: the node, its inputs before its
        # outputs, and the place in that mapping.
        if name in first_reader and first_reader[name] <= first_writer.get(name, first_reader[name]):
            i = first_reader[name]
            return i, 0, place(i, 0, name)
        i = first_writer[name]
        return i, 1, place(i, 1, name)

    found: List[Tuple[int, Tuple[int, int, int], Finding]] = []

    def add(kind: str, name: str, involved: Iterable[int], message: str) -> None:
        ids = tuple(records[i].id for i in sorted(set(involved)))
        found.append((_KINDS.index(kind), mentioned(name), Finding(kind, name, ids, message)))

    for name in more_writers:
        clash = reach.clashing(writers(name))
        if clash:
            variants = sum(records[i].variant is not None for i in clash)
            if len(clash) == 2:
                how = "neither before the other"
            elif reach.unordered(clash):
                how = "none before another"
            else:
                how = "not all in dependency order"
            note = ""
            if variants == len(clash):
                note = " (variants of a sweep share its outputs)"
            elif variants:
                note = " (the variants among them share their sweep's outputs)"
            add("overwrite", name, clash,
                f"{describe(clash)} write {name!r}, {how}{note}: only one value survives")

    for name, reader in first_reader.items():
        if name not in first_writer:
            if name not in given:
                read = readers(name)
                verb = "reads" if len(read) == 1 else "read"
                add("unset", name, read,
                    f"{describe(read)} {verb} {name!r}, which no node writes and which is not"
                    " among the inputs: a typo or a missing input?")
            continue
        if name not in more_readers and name not in more_writers:
            # One reader and one writer, the usual case, costs no lists.
            if reach.ordered(reader, first_writer[name]):
                continue
        read, wrote = readers(name), writers(name)
        seeing = reach.loose(read, wrote)
        if seeing:
            racing = reach.loose(wrote, read)
            if len(seeing) == 1 and len(racing) == 1:
                text = (f"{describe(seeing)} reads {name!r} and {describe(racing)} writes it,"
                        " neither before the other: what the read sees depends on the mode and the order")
            else:
                text = (f"{describe(seeing)} {'reads' if len(seeing) == 1 else 'read'} {name!r} and"
                        f" {describe(racing)} {'writes' if len(racing) == 1 else 'write'} it,"
                        " not all in dependency order: what a read sees depends on the mode and the order")
            add("race", name, seeing + racing, text)

    found.sort(key=lambda entry: entry[:2])
    return [finding for _, _, finding in found]
