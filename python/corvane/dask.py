"""Run a built Dag on Dask: threads, processes, or a distributed cluster.

``to_dask(dag)`` turns a Dag into a ``dask.delayed.Delayed`` whose computed
value is the context ``dag.execute()`` returns::

    import dask
    from corvane.dask import to_dask

    context = to_dask(dag, parallel=True).compute(scheduler="processes")

The graph has one task per input of the run, one per node that runs and has
a function, one small task per name each node writes, and one task that
assembles the context. A node's task receives only the values its node
reads. With targets, only the nodes ``Dag._run_plan`` picks for them are in
the graph, and the context keeps only the targets.

Names may be overwritten and a function may leave out outputs it maps, so
which node supplies a name is only known at run time. For every name a node
writes there is a resolver task that takes the node's outputs and the
previous resolution of that name, and yields the node's value if it wrote
the name, else the previous one: a chain per name, linear in size. A reader
depends on the resolution current at its place in the run: after every
earlier node in execution order (sequential mode), or after every earlier
level (parallel mode, where a level's writes are chained in level order,
one of the orders in which a local run may merge them), or after each of
its ancestors in execution order (dataflow mode). Each resolution
carries the place where its name was first written, so that the context
lists names in the order a local run writes them.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any, Literal

try:
    from dask.base import tokenize
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph
    from dask.typing import Key
except ImportError as _missing:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        "corvane.dask needs Dask, an optional dependency: pip install corvane[dask]"
    ) from _missing

from corvane._core import Dag, NodeInfo
from corvane._dask_keys import dag_token
from corvane._dask_tasks import Assemble, Given, NodeCall, Pick

__all__ = ["to_dask"]


def _steps(dag: Dag, parallel: bool | str, plan: tuple[int, ...]) -> list[tuple[int, ...]]:
    """Groups of the ids of the nodes that run, whose writes become visible
    together."""
    if not parallel:
        return [(node_id,) for node_id in plan]
    chosen = set(plan)
    steps = (tuple(node_id for node_id in level if node_id in chosen) for level in dag.levels)
    return [step for step in steps if step]


def _first_by_id(nodes: Iterable[NodeInfo]) -> dict[int, NodeInfo]:
    found: dict[int, NodeInfo] = {}
    for node in nodes:
        found.setdefault(node.id, node)
    return found


def _checked_inputs(inputs: Mapping[str, object] | None) -> dict[str, object]:
    if inputs is None:
        return {}
    if not isinstance(inputs, Mapping):
        raise TypeError(
            f"inputs must be a mapping from str to objects, got {type(inputs).__name__}"
        )
    given = dict(inputs.items())
    for name in given:
        if not isinstance(name, str):
            raise TypeError(f"inputs keys must be str, got {type(name).__name__}")
    return given


def to_dask(
    dag: Dag,
    parallel: bool | Literal["dataflow"] = False,
    raise_on_failure: bool = False,
    *,
    inputs: Mapping[str, object] | None = None,
    targets: Iterable[str] | None = None,
) -> Delayed:
    """A Dask graph that runs `dag` once and yields its final context.

    Computing it gives what ``dag.execute(parallel, inputs=inputs,
    targets=targets)`` gives, for node functions whose results depend only
    on their inputs and params: the context starts with `inputs`, only the
    nodes needed for `targets` run, and the context lists names in the order
    they were first written. Node functions are called as ``execute`` calls
    them, with their params; one that fails writes nothing and its traceback
    is printed where it ran, unless `raise_on_failure` is true, in which case
    its exception fails the computation.

    Keys are the same each time one Dag is exported with one mode, inputs
    and targets, and differ between Dags, modes, inputs and targets, so
    several exports can be computed together. For a process-based scheduler
    every node function, params value and input, and every value the nodes
    exchange, must be picklable; a function that is not fails with a
    ``pickle.PicklingError`` naming its node.

    Raises:
        TypeError: `parallel` is not `True`, `False` or `"dataflow"`, `inputs` is not a
            mapping with `str` keys, or a target is not a `str`.
        ValueError: A target is neither written by a node nor an input.
    """
    if parallel is not True and parallel is not False and parallel != "dataflow":
        raise TypeError(f"parallel must be True, False or 'dataflow', not {parallel!r}")
    given = _checked_inputs(inputs)
    wanted = None if targets is None else tuple(targets)
    plan = dag._run_plan(parallel, tuple(given), wanted)
    nodes = _first_by_id(dag.nodes)
    values = tokenize(list(given.items()), wanted, [nodes[node_id].params for node_id in plan])
    token = dag_token(dag, parallel, raise_on_failure, values)
    final_key = f"corvane-{token}"

    tasks: dict[Key, Any] = {}
    # Per name, the key of its resolution as the next step reads it.
    visible: dict[str, Key] = {}
    for index, (name, value) in enumerate(given.items()):
        input_key = (f"{_task_name(name)}.input-{token}", index)
        tasks[input_key] = (Given(value, (-1, index, 0)),)
        visible[name] = input_key
    export = _Export(tasks, token, raise_on_failure, nodes)
    if parallel == "dataflow":
        silent = export.dataflow(plan, visible)
    else:
        silent = export.in_steps(_steps(dag, parallel, plan), visible)
    kept = visible if wanted is None else {n: k for n, k in visible.items() if n in wanted}
    needed = [*kept.values(), *silent]
    # A local run calls every node of its plan, also one whose writes
    # neither a target nor a node with a function reads (a failure it
    # prints or raises is part of the run): Dask would drop its task.
    needed += export.unreached(needed)
    tasks[final_key] = (Assemble(tuple(kept)), *needed)
    graph = HighLevelGraph.from_collections(final_key, tasks, dependencies=())
    return Delayed(final_key, graph)


class _Export:
    """The tasks of one export: node calls and the resolutions of the names
    they read and write."""

    def __init__(
        self, tasks: dict[Key, Any], token: str, raise_on_failure: bool, nodes: dict[int, NodeInfo]
    ) -> None:
        self.tasks = tasks
        self.token = token
        self.raise_on_failure = raise_on_failure
        self.nodes = nodes
        # (name, previous resolution, writer) -> the resolution after it.
        self.picks: dict[tuple[str, Key | None, Key], Key] = {}
        self.node_keys: list[Key] = []

    def call(self, node: NodeInfo, visible: Mapping[str, Key]) -> Key:
        """The task of one node, reading what `visible` resolves."""
        assert node.function is not None
        reads = [(name, own) for name, own in node.inputs.items() if name in visible]
        node_key = (f"{_task_name(node.function)}-{self.token}", node.id)
        call = NodeCall(
            node.function,
            node.params,
            node.id,
            node.label,
            tuple(own for _, own in reads),
            tuple(node.outputs.items()),
            self.raise_on_failure,
        )
        self.tasks[node_key] = (call, *(visible[name] for name, _ in reads))
        self.node_keys.append(node_key)
        return node_key

    def unreached(self, roots: list[Key]) -> list[Key]:
        """The node tasks that none of `roots` depends on, directly or not.
        Every element of a task after its callable is a key."""
        reached: set[Key] = set()
        pending = list(roots)
        while pending:
            key = pending.pop()
            if key not in reached:
                reached.add(key)
                pending.extend(self.tasks[key][1:])
        return [key for key in self.node_keys if key not in reached]

    def pick(
        self, name: str, previous: Key | None, node_key: Key, place: tuple[int, int, int]
    ) -> Key:
        """The resolution of `name` after the node of `node_key`, shared by
        every reader that sees the same writers before it."""
        found = self.picks.get((name, previous, node_key))
        if found is not None:
            return found
        # A "." keeps these apart from the node keys, whose names have none.
        pick_key = (f"{_task_name(name)}.value-{self.token}", len(self.tasks))
        pick = (Pick(name, place), node_key)
        self.tasks[pick_key] = pick if previous is None else (*pick, previous)
        self.picks[name, previous, node_key] = pick_key
        return pick_key

    def in_steps(self, steps: list[tuple[int, ...]], visible: dict[str, Key]) -> list[Key]:
        """Sequential and level runs: a node reads what every earlier step
        wrote. Leaves the final resolutions in `visible`; returns the nodes
        that write no name."""
        silent: list[Key] = []
        for step_index, step in enumerate(steps):
            written: dict[str, Key] = {}
            for position, node_id in enumerate(step):
                node = self.nodes[node_id]
                if node.function is None:
                    continue
                node_key = self.call(node, visible)
                names = dict.fromkeys(node.outputs.values())
                if not names:
                    silent.append(node_key)
                for output_index, name in enumerate(names):
                    previous = written.get(name, visible.get(name))
                    place = (step_index, position, output_index)
                    written[name] = self.pick(name, previous, node_key, place)
            visible.update(written)
        return silent

    def dataflow(self, plan: tuple[int, ...], visible: dict[str, Key]) -> list[Key]:
        """Dataflow runs: a node reads the inputs, then what its ancestors
        wrote, in execution order; the final context takes every node's
        writes in execution order. Both are chains of resolutions over the
        writers in execution order, which share their common beginnings.
        Leaves the final resolutions in `visible`; returns the nodes that
        write no name."""
        lineage = _Lineage(self, dict(visible))
        silent: list[Key] = []
        for index, node_id in enumerate(plan):
            node = self.nodes[node_id]
            if node.function is None:
                continue
            view: dict[str, Key] = {}
            for name in node.inputs:
                key = lineage.read(node_id, name)
                if key is not None:
                    view[name] = key
            node_key = self.call(node, view)
            names = dict.fromkeys(node.outputs.values())
            if not names:
                silent.append(node_key)
            lineage.ran(node_id, node_key, [(name, (index, 0, k)) for k, name in enumerate(names)])
        for name, among in lineage.writers.items():
            key = lineage.resolved(name, among)
            assert key is not None
            visible[name] = key
        return silent


class _Lineage:
    """The resolutions that the nodes of a dataflow export read: the inputs,
    then the writes of a node's ancestors in execution order.

    A node with one dependency reads what that dependency read, then what it
    wrote, so along chains and branches each read takes one step from the
    resolution its dependency read, and is remembered for the nodes below.
    Only a join, whose ancestors come from several sides, collects them and
    goes over the writers of the name among them."""

    def __init__(self, export: _Export, inputs: dict[str, Key]) -> None:
        self.export = export
        self.inputs = inputs
        self.keys: dict[int, Key] = {}
        # Per name, the nodes that write it, in execution order.
        self.writers: dict[str, list[int]] = {}
        self.places: dict[tuple[int, str], tuple[int, int, int]] = {}
        # (node, name) -> the resolution of the name that the node reads.
        self.seen: dict[tuple[int, str], Key | None] = {}
        self.joined: dict[int, set[int]] = {}

    def ran(self, node_id: int, key: Key, writes: list[tuple[str, tuple[int, int, int]]]) -> None:
        """Records the task of a node and where it writes each name; nodes
        come in execution order."""
        self.keys[node_id] = key
        for name, place in writes:
            self.writers.setdefault(name, []).append(node_id)
            self.places[node_id, name] = place

    def resolved(self, name: str, among: Iterable[int]) -> Key | None:
        """The resolution of `name` after the input of that name, if any,
        then the writers `among`, in execution order."""
        key = self.inputs.get(name)
        for writer in among:
            key = self.export.pick(name, key, self.keys[writer], self.places[writer, name])
        return key

    def read(self, node_id: int, name: str) -> Key | None:
        """The resolution of `name` that `node_id` reads. Walks up single
        dependencies, also through nodes that targets leave out, to a node
        whose read is known, a root or a join, then down again."""
        below: list[int] = []
        while (node_id, name) not in self.seen:
            dependencies = self.export.nodes[node_id].dependencies
            if len(dependencies) == 1:
                below.append(node_id)
                node_id = dependencies[0]
            elif dependencies:
                ancestors = self.ancestors(node_id)
                among = [w for w in self.writers.get(name, ()) if w in ancestors]
                self.seen[node_id, name] = self.resolved(name, among)
            else:
                self.seen[node_id, name] = self.inputs.get(name)
        key = self.seen[node_id, name]
        for lower in reversed(below):
            if (node_id, name) in self.places:
                place = self.places[node_id, name]
                key = self.export.pick(name, key, self.keys[node_id], place)
            self.seen[lower, name] = key
            node_id = lower
        return key

    def ancestors(self, join: int) -> set[int]:
        """The nodes a join depends on, directly or not."""
        found = self.joined.get(join)
        if found is None:
            found = set()
            pending = list(self.export.nodes[join].dependencies)
            while pending:
                node_id = pending.pop()
                if node_id not in found:
                    found.add(node_id)
                    pending.extend(self.export.nodes[node_id].dependencies)
            self.joined[join] = found
        return found


def _task_name(source: object) -> str:
    """A function's name, or a variable's name, as the group Dask puts the
    task in: the key's first word, as in Dask's own `delayed` keys. The
    scheduler learns each group's durations and spreads a wide group over the
    cluster only while its inputs come from a few small groups, so every
    function gets a group of its own, and so does the resolution of every
    name."""
    name = source if isinstance(source, str) else getattr(source, "__name__", None)
    if not isinstance(name, str):
        name = type(source).__name__
    name = "".join(c if c.isascii() and c.isalnum() else "_" for c in name).strip("_")
    return name or "node"
