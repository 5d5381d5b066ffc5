"""A Dag's nodes as the tasks of a dask graph, for a run spread over a cluster.

    import pelmo.dask
    result = pelmo.dask.execute(dag, client, inputs={"path": path}, outputs=["report"])

The run has the meaning of ``dag.execute(parallel=True, ...)``: a node sees
the context as it was when its level started, a later node of a level wins
a name that several of them fill, and a node that fails or fills nothing lets
an earlier value show through. Values stay where dask keeps them, on the
workers; only the result travels to the caller. The callables travel the way
dask sends any function, by pickle or cloudpickle, so a callable that cannot
be pickled fails with dask's own error.
"""

from __future__ import annotations

import sys
import uuid
from bisect import bisect_left
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Dict,
    Hashable,
    Iterable,
    List,
    Literal,
    Mapping,
    Optional,
    Sequence,
    Set,
    Tuple,
    cast,
)

try:
    import dask.base
    import dask.threaded
except ImportError as missing:  # pragma: no cover - depends on the environment
    raise ImportError(
        "pelmo.dask needs dask and dask.distributed: pip install pelmo[dask]"
    ) from missing

from ._pelmo import Dag
from ._records import Node, NodeError, describe_node

if TYPE_CHECKING:
    from distributed import Client

__all__ = ["to_dask", "execute"]

OnError = Literal["print", "raise"]

# A failed node as it travels between tasks: its position in the Dag's
# execution order, its id, its label and what it raised.
_Failure = Tuple[int, int, Optional[str], BaseException]
# The failures of the earliest level that had any, in level order.
_Failures = Tuple[int, Tuple[_Failure, ...]]
# What every task but the last returns: context name -> value for the names
# it stands for, and the failures that the run must raise, if any.
_Outcome = Tuple[Dict[str, Any], Optional[_Failures]]

_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE


# ---------------------------------------------------------------- what runs on the workers


def _earliest(outcomes: Sequence[_Outcome]) -> Optional[_Failures]:
    """The failures of the earliest failed level among `outcomes`. A failure
    reaches a task along every path from its node, so copies are merged."""
    found: Optional[_Failures] = None
    merged: Optional[Dict[int, _Failure]] = None
    for _, failures in outcomes:
        if failures is None or failures is found:
            continue
        if found is None or failures[0] < found[0]:
            found, merged = failures, None
        elif failures[0] == found[0]:
            if merged is None:
                merged = {failure[0]: failure for failure in found[1]}
            merged.update((failure[0], failure) for failure in failures[1])
    if found is not None and merged is not None:
        found = (found[0], tuple(merged[position] for position in sorted(merged)))
    return found


def _type_name(value: object) -> str:
    # The name the interpreter's own messages use (tp_name): the bare name
    # of classes defined in Python and of the builtins, the dotted one of
    # other static types, as numpy.ndarray.
    kind = type(value)
    if kind.__flags__ & _HEAP_TYPE or kind.__module__ == "builtins":
        return kind.__name__
    return f"{kind.__module__}.{kind.__name__}"


def _write_stderr(text: str) -> None:
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(text)
    except Exception:
        pass


def _report(error: BaseException) -> None:
    """Reports a failed node as a local run does: through sys.excepthook."""
    hook = sys.excepthook
    if hook is sys.__excepthook__ and sys.stderr is None:
        return
    try:
        hook(type(error), error, error.__traceback__)
    except Exception as hook_error:
        import traceback

        _write_stderr("Error in sys.excepthook:\n")
        _write_stderr("".join(traceback.format_exception(type(hook_error), hook_error, hook_error.__traceback__)))
        _write_stderr("\nOriginal exception was:\n")
        _write_stderr("".join(traceback.format_exception(type(error), error, error.__traceback__)))


class _NodeTask:
    """One node's part of the graph: its callable and where each of its
    inputs comes from among the task's arguments."""

    __slots__ = ("function", "position", "node", "label", "level", "raising", "inputs", "outputs", "carried")

    def __init__(self, node: Node, position: int, raising: bool, inputs: Tuple[Tuple[str, str, int], ...],
                 carried: Tuple[Tuple[str, int], ...]) -> None:
        self.function = node.function
        self.position = position
        self.node = node.id
        self.label = node.label
        self.level = node.level
        self.raising = raising
        # (context name, argument name, index of the argument holding it)
        self.inputs = inputs
        self.outputs = tuple(node.outputs.items())
        # (context name, argument index): names this node stands for after its
        # level, the value it read showing through when it fills none.
        self.carried = carried

    def __repr__(self) -> str:
        # What dask shows of a task, in an error that it cannot be pickled say.
        return f"<pelmo.dask task of {describe_node(self.node, self.label)}>"

    def __dask_tokenize__(self) -> object:
        # The keys of each graph are its own: what a task holds need not be
        # pickled and hashed to tell one graph from another.
        return ("pelmo.dask node", self.node)

    def failure(self, cause: BaseException) -> _Outcome:
        return {}, (self.level, ((self.position, self.node, self.label, cause),))

    def run(self, outcomes: Sequence[_Outcome]) -> _Outcome:
        failures = _earliest(outcomes)
        if failures is not None:
            # A run that raises stops at the failed level; this node comes
            # after it and is not called.
            return {}, failures
        arguments: Dict[str, Any] = {}
        for name, argument, index in self.inputs:
            found = outcomes[index][0]
            if name in found:
                arguments[argument] = found[name]
        values: Dict[str, Any] = {}
        try:
            result = cast(Callable[[Dict[str, Any]], Any], self.function)(arguments)
        except BaseException as error:
            if isinstance(error, (SystemExit, KeyboardInterrupt)):
                raise
            # Without this frame, as when the callable is called from the
            # native run.
            traceback = error.__traceback__
            error = error.with_traceback(traceback.tb_next if traceback is not None else None)
            if self.raising:
                return self.failure(error)
            _report(error)
        else:
            if isinstance(result, dict):
                self.keep(result, values)
            else:
                if self.raising:
                    return self.failure(TypeError(
                        f"Python function did not return a dict (it returned {_type_name(result)})"))
                _write_stderr("Error: Python function did not return a dict\n")
        for name, index in self.carried:
            if name not in values:
                found = outcomes[index][0]
                if name in found:
                    values[name] = found[name]
        return values, None

    def keep(self, result: Dict[Any, Any], values: Dict[str, Any]) -> None:
        # The dict's own storage, as the native run reads it: a subclass's
        # overrides are not consulted, and str subclasses count as their text.
        found: Dict[str, Any] = {}
        for key, value in dict.items(result):
            if isinstance(key, str):
                found[str.__str__(key)] = value
        # A later pair wins a context name that two results map to.
        for result_name, context_name in self.outputs:
            if result_name in found:
                values[context_name] = found[result_name]


def _run_node(task: _NodeTask, *outcomes: _Outcome) -> _Outcome:
    return task.run(outcomes)


def _run_node_to_result(task: _NodeTask, result: _Result, *outcomes: _Outcome) -> Dict[str, Any]:
    return _finish(result, task.run(outcomes))


def _last_filled(name: str, *outcomes: _Outcome) -> _Outcome:
    """The value of `name` after a level: from the last of the level's
    writers that filled it, else from before the level (the first outcome,
    when there is a value before)."""
    failures = _earliest(outcomes)
    for values, _ in reversed(outcomes):
        if name in values:
            return {name: values[name]}, failures
    return {}, failures


def _failures_only(outcome: _Outcome) -> _Outcome:
    return {}, outcome[1]


class _Given:
    """A value from the caller, as a task: dask takes no part in reading it,
    whatever it holds."""

    __slots__ = ("outcome",)

    def __init__(self, name: str, value: Any) -> None:
        self.outcome: _Outcome = ({name: value}, None)

    def __call__(self) -> _Outcome:
        return self.outcome

    def __dask_tokenize__(self) -> object:
        return ("pelmo.dask input", tuple(self.outcome[0]))


class _Result:
    """What the result's task keeps of its arguments' outcomes. Not a tuple,
    which dask would search for tasks and keys."""

    __slots__ = ("entries",)

    def __init__(self, entries: Tuple[Tuple[Any, str, int], ...]) -> None:
        # (key in the result, context name, index of the argument holding it)
        self.entries = entries

    def __dask_tokenize__(self) -> object:
        return "pelmo.dask result"


def _finish(result: _Result, *outcomes: _Outcome) -> Dict[str, Any]:
    failures = _earliest(outcomes)
    if failures is not None:
        (_, node, label, cause), *others = failures[1]
        raise NodeError(node, label, cause, tuple(NodeError(*other[1:]) for other in others))
    context: Dict[str, Any] = {}
    for key, name, index in result.entries:
        values = outcomes[index][0]
        if name in values:
            context[key] = values[name]
    return context


# ---------------------------------------------------------------- building the graph


def _raising(on_error: object) -> bool:
    if on_error == "raise" and isinstance(on_error, str):
        return True
    if on_error == "print" and isinstance(on_error, str):
        return False
    raise ValueError(f"argument 'on_error' must be 'print' or 'raise', not {on_error!r}")


def _plain(name: str) -> str:
    return str.__str__(name)


def _given_items(inputs: Optional[Mapping[str, Any]]) -> List[Tuple[Any, Any]]:
    if inputs is None:
        return []
    if isinstance(inputs, str) or not hasattr(inputs, "items"):
        raise TypeError(f"argument 'inputs' must be a mapping of str to values, not {type(inputs).__name__}")
    items = list(inputs.items())
    for name, _ in items:
        if not isinstance(name, str):
            raise TypeError(f"argument 'inputs': names must be str, not {type(name).__name__} ({name!r})")
    return items


_Key = Hashable


class _Builder:
    def __init__(self, dag: Dag, raising: bool, inputs: Optional[Mapping[str, Any]]) -> None:
        self.raising = raising
        self.token = uuid.uuid4().hex
        self.nodes = dag.nodes()
        self.graph: Dict[_Key, Any] = {}
        self.dependencies: Dict[_Key, Tuple[_Key, ...]] = {}

        # Every name of the Dag's mappings, in the order a local run's
        # result lists them: by node id, inputs before outputs, each pair's
        # first name before its second.
        self.names: Dict[str, None] = {}
        for node in sorted(self.nodes, key=lambda node: node.id):
            for mapping in (node.inputs, node.outputs):
                for first, second in mapping.items():
                    self.names.setdefault(first)
                    self.names.setdefault(second)
        self.mapped_outputs = {name for node in self.nodes for name in node.outputs.values()}

        self.given: Dict[str, _Key] = {}  # a name of the Dag -> its value's task
        # Names that no node mentions, as given, as text, and their tasks.
        self.other_inputs: List[Tuple[Any, str, _Key]] = []
        for index, (name, value) in enumerate(_given_items(inputs)):
            plain = _plain(name)
            key = (f"pelmo-input-{self.token}", plain, index)
            if plain in self.names:
                self.given[plain] = key
            else:
                self.other_inputs.append((name, plain, key))
            self.add(key, (_Given(plain, value),), ())

        # Who may fill each name, level by level: no-op nodes fill nothing.
        self.writers: Dict[str, Dict[int, List[int]]] = {}
        for position, node in enumerate(self.nodes):
            if node.function is None:
                continue
            for name in dict.fromkeys(node.outputs.values()):
                self.writers.setdefault(name, {}).setdefault(node.level, []).append(position)
        self.levels = {name: sorted(by_level) for name, by_level in self.writers.items()}
        # The task standing for each name after each of its writers' levels.
        self.after: Dict[str, List[Optional[_Key]]] = {}
        self.resolved: Dict[str, int] = {}
        self.node_tasks: Dict[_Key, _NodeTask] = {}

    def node_key(self, position: int) -> _Key:
        node = self.nodes[position]
        return (f"{'pelmo-node' if node.label is None else node.label}-{self.token}", node.id)

    def add(self, key: _Key, task: Tuple[Any, ...], dependencies: Tuple[_Key, ...]) -> None:
        self.graph[key] = task
        self.dependencies[key] = dependencies

    def carries(self, position: int, name: str) -> bool:
        """Whether the node stands for `name` after its level: it is the
        level's only writer of the name and reads the name itself, so the
        value from before the level is at hand in its task anyway."""
        node = self.nodes[position]
        return (node.function is not None and name in node.inputs and name in self.writers
                and len(self.writers[name].get(node.level, ())) == 1)

    def value_after(self, name: str, index: int) -> Optional[_Key]:
        """The task whose outcome holds `name` as it is after the level
        self.levels[name][index] (index -1: before any writer), or None when
        nothing can hold it then. Built upwards from the last one known, so
        a long run of writers of one name takes no deep recursion."""
        if index < 0:
            return self.given.get(name)
        if name not in self.after:
            self.after[name] = [None] * len(self.levels[name])
        after = self.after[name]
        done = self.resolved.get(name, -1)
        for step in range(done + 1, index + 1):
            after[step] = self.make_value_after(name, step, after[step - 1] if step else self.given.get(name))
        self.resolved[name] = max(done, index)
        return after[index]

    def make_value_after(self, name: str, index: int, before: Optional[_Key]) -> _Key:
        level = self.levels[name][index]
        writers = self.writers[name][level]
        if len(writers) == 1 and (before is None or self.carries(writers[0], name)):
            return self.node_key(writers[0])
        # One of these outcomes holds the value, but which one is known only
        # once the writers ran.
        key = (f"pelmo-view-{self.token}", name, level)
        sources = ((before,) if before is not None else ()) + tuple(self.node_key(w) for w in writers)
        self.add(key, (_last_filled, name, *sources), sources)
        return key

    def value_before(self, name: str, level: int) -> Optional[_Key]:
        """The task whose outcome holds `name` as a node of `level` sees it."""
        if name not in self.levels:
            return self.given.get(name)
        return self.value_after(name, bisect_left(self.levels[name], level) - 1)

    def add_node(self, position: int) -> None:
        node = self.nodes[position]
        sources: Dict[_Key, int] = {}
        inputs: List[Tuple[str, str, int]] = []
        carried: List[Tuple[str, int]] = []
        for name, argument in node.inputs.items():
            key = self.value_before(name, node.level)
            if key is None:
                continue
            index = sources.setdefault(key, len(sources))
            inputs.append((name, argument, index))
            if name in node.outputs.values() and self.carries(position, name):
                carried.append((name, index))
        task = _NodeTask(node, position, self.raising, tuple(inputs), tuple(carried))
        keys = tuple(sources)
        key = self.node_key(position)
        self.node_tasks[key] = task
        self.add(key, (_run_node, task, *keys), keys)

    def result_entries(self, outputs: Optional[Iterable[str]]) -> List[Tuple[Any, str, Optional[_Key]]]:
        """(key in the result, context name, task holding it) for each name
        the result may hold, in the result's order."""
        def final(name: str) -> Optional[_Key]:
            if name in self.levels:
                return self.value_after(name, len(self.levels[name]) - 1)
            return self.given.get(name)

        if outputs is None:
            entries: List[Tuple[Any, str, Optional[_Key]]] = [(name, name, final(name)) for name in self.names]
            entries += [(name, plain, key) for name, plain, key in self.other_inputs]
            return entries
        if isinstance(outputs, str):
            raise TypeError("argument 'outputs' must be an iterable of str, not a str")
        try:
            chosen = list(outputs)
        except TypeError:
            raise TypeError(f"argument 'outputs' must be an iterable of str, not {type(outputs).__name__}") from None
        entries = []
        seen: Set[str] = set()
        for name in chosen:
            if not isinstance(name, str):
                raise TypeError(f"argument 'outputs': names must be str, not {type(name).__name__} ({name!r})")
            plain = _plain(name)
            if plain in seen:
                continue
            seen.add(plain)
            if plain in self.names:
                if plain not in self.mapped_outputs and plain not in self.given:
                    raise ValueError(f"argument 'outputs': no node writes {name!r} and it is not among the inputs")
                entries.append((plain, plain, final(plain)))
                continue
            others = [(text, key) for given, text, key in self.other_inputs if given == name]
            if not others:
                raise ValueError(f"argument 'outputs': no node writes {name!r} and it is not among the inputs")
            entries.append((name, *others[-1]))
        return entries

    def reached_from(self, keys: Iterable[_Key]) -> Set[_Key]:
        reached: Set[_Key] = set()
        pending = list(keys)
        while pending:
            key = pending.pop()
            if key not in reached:
                reached.add(key)
                pending.extend(self.dependencies[key])
        return reached

    def finish(self, entries: List[Tuple[Any, str, Optional[_Key]]]) -> str:
        sources: Dict[_Key, int] = {}
        kept: List[Tuple[Any, str, int]] = []
        for result_key, name, key in entries:
            if key is not None:
                kept.append((result_key, name, sources.setdefault(key, len(sources))))
        # Every node runs, as in a local run, whether or not the result needs
        # what it fills: the last task waits for the others too, through a
        # task that keeps none of their values where a node has some.
        reached = self.reached_from(sources)
        for position, node in enumerate(self.nodes):
            key = self.node_key(position)
            if node.function is None or key in reached:
                continue
            if node.outputs:
                done = (f"pelmo-done-{self.token}", str(node.id))
                self.add(done, (_failures_only, key), (key,))
                key = done
            sources.setdefault(key, len(sources))
        result_key = f"pelmo-result-{self.token}"
        keys = tuple(sources)
        result = _Result(tuple(kept))
        if len(keys) == 1 and keys[0] in self.node_tasks and not self.read_by_others(keys[0]):
            # The result comes from one node that no other task reads: one
            # task does both, which spares a round trip to the scheduler
            # (a chain ending in the node asked for, say).
            node_key = keys[0]
            del self.graph[node_key]
            dependencies = self.dependencies.pop(node_key)
            self.add(result_key, (_run_node_to_result, self.node_tasks[node_key], result, *dependencies),
                     dependencies)
        else:
            self.add(result_key, (_finish, result, *keys), keys)
        return result_key

    def read_by_others(self, key: _Key) -> bool:
        return any(key in dependencies for dependencies in self.dependencies.values())


def to_dask(dag: Dag, *, inputs: Optional[Mapping[str, Any]] = None, outputs: Optional[Iterable[str]] = None,
            on_error: OnError = "raise") -> Tuple[Dict[Hashable, Any], str]:
    """A dask task graph of one run of `dag`, and the key of its result.

    The graph is a plain dict that any dask scheduler runs (``dask.get``,
    ``dask.threaded.get``, ``distributed.Client.get``); the value of the key
    is what ``dag.execute(parallel=True, inputs=inputs, outputs=outputs,
    on_error=on_error)`` returns. Each node with a callable is a task of its
    own, which depends only on the tasks that may fill the names it reads;
    when a level has several writers of one name, a small task picks the
    value that the run keeps. Every node runs, whatever `outputs` asks for.

    With ``on_error="raise"`` (the default) the result's task raises
    pelmo.NodeError for the first failed node of the earliest level that had
    a failure, with the level's other failed nodes in ``others``; nodes that
    read names a failed node may have filled are not called, as a local run
    would not reach them. ``"print"`` reports failures on
    the worker that ran the node, through its sys.excepthook and sys.stderr,
    and the run goes on.

    Raises ValueError for an `on_error` other than "print" or "raise", and
    for a name in `outputs` that no node writes and that is not among the
    inputs; TypeError for `inputs` that is not a mapping with str names or
    `outputs` that is not an iterable of str. Each call makes keys of its
    own, so that two runs never share results on a cluster.
    """
    builder = _Builder(dag, _raising(on_error), inputs)
    entries = builder.result_entries(outputs)
    for position, node in enumerate(builder.nodes):
        if node.function is not None:
            builder.add_node(position)
    return builder.graph, builder.finish(entries)


def execute(dag: Dag, client: Optional["Client"] = None, *, inputs: Optional[Mapping[str, Any]] = None,
            outputs: Optional[Iterable[str]] = None, on_error: OnError = "raise") -> Dict[str, Any]:
    """Runs `dag` on dask and returns what ``dag.execute(parallel=True, ...)``
    returns for the same arguments (see `to_dask`).

    The run goes to `client`, a distributed.Client, when one is given, and
    otherwise to dask's current scheduler: the one dask.config names, else
    the default client if there is one, else dask's threads.
    """
    graph, key = to_dask(dag, inputs=inputs, outputs=outputs, on_error=on_error)
    if client is not None:
        return cast(Dict[str, Any], client.get(graph, key))
    # get_scheduler has no annotations: called as what it is documented to be.
    current = cast(Callable[[], Optional[Callable[..., Any]]], dask.base.get_scheduler)
    get = current() or dask.threaded.get
    return cast(Dict[str, Any], get(graph, key))
