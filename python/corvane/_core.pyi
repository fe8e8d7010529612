"""Initialize the Python module"""

from collections.abc import Callable, Iterable, Mapping
from typing import Any, Final, Literal, SupportsIndex, final

from _typeshed import structseq

from corvane._problems import Problem
from corvane._types import NameMapping, NodeFunction, NodeObject
from corvane.diagnostics.run_result import RunResult

__all__ = ["Graph", "Dag"]

@final
class Graph:
    """Python wrapper for Graph builder

    A `Graph` collects nodes and branches and is built once into a `Dag`.
    Each node added depends on the node added just before it; branches hang
    side by side from the node added last. `build()` consumes the graph, and
    so does passing it to another graph's `branch()`: any later call on it
    raises `ValueError`.
    """

    def __init__(self) -> None:
        """Create an empty graph."""

    def add(
        self,
        # Any object is taken; one that cannot be called fails when its node runs.
        function: NodeFunction | NodeObject | None = ...,
        label: str | None = ...,
        inputs: NameMapping | None = ...,
        outputs: NameMapping | None = ...,
        params: Mapping[str, object] | None = ...,
    ) -> Graph:
        """Add a node that depends on the node added before it.

        Args:
            function: The node function, called as `function(inputs, params)`
                with two dicts; it returns a dict of results. `None` makes a
                node that does nothing (the default). Any object is accepted
                here; one that cannot be called fails when its node runs. An
                object made by `corvane.node` runs through its node form, and
                its parameter and returned names serve as `inputs` and
                `outputs` (same name on both sides) when those are not given.
            label: The node's name in the Mermaid diagram; `None`, the
                default, shows `Node {id}`.
            inputs: Context name to the function's name, as a dict or a list
                whose items are pairs or single names (the same name on both
                sides). Only these variables reach the function, in this
                order; `None`, the default, passes none.
            outputs: The function's name to context name, as a dict or a
                list of pairs or names. Only these results leave the node, and
                they are written in this order; `None`, the default, keeps
                none.
            params: Names to objects, passed to every call of the function as
                its second argument (a new dict each call, holding these very
                objects, in this order). Copied now: changing the mapping
                later changes no node. `None`, the default, passes an empty
                dict.

        Returns:
            This graph, so that calls can be chained.

        Raises:
            ValueError: The graph has been built or consumed, or a mapping is
                neither a dict nor a list of pairs or names.
            TypeError: `label` is not a string or `None`, or `params` is not
                a mapping with `str` keys; nothing is added.
        """

    def join(
        self,
        function: NodeFunction | NodeObject | None = ...,
        label: str | None = ...,
        inputs: NameMapping | None = ...,
        outputs: NameMapping | None = ...,
        params: Mapping[str, object] | None = ...,
    ) -> Graph:
        """Add a node that waits for every node no other node depends on yet.

        A fan-in: the node depends on every sink of the graph so far (the
        last node of every branch hung so far, nested branches included, and
        the node added last unless a branch hangs from it), listed in the
        order of the graph's nodes. It then counts as the node added last, so
        later `add` and `branch` calls hang from it. With no branches it is
        the same as `add`; in a graph later hung as a branch it waits for
        that graph's own nodes only. Takes the same arguments, with the same
        rules and errors, as `add`.

        Returns:
            This graph, so that calls can be chained.
        """

    def branch(self, subgraph: Graph) -> int:
        """Hang `subgraph` from the node added last, beside the node added next.

        Consecutive branches hang from the same node and run side by side;
        the node added next with `add` depends on that same node too, so
        nothing waits for a branch to finish. Fill `subgraph` completely
        first: it is consumed.

        Args:
            subgraph: Another, not yet consumed, graph.

        Returns:
            The branch id, counting from 1 in each graph.

        Raises:
            ValueError: This graph or `subgraph` has been built or consumed.
            RuntimeError: `subgraph` is this graph ("Already borrowed").
        """

    def build(self) -> Dag:
        """Build the immutable, executable `Dag` and consume this graph.

        Branch nodes get fresh ids after the graph's own nodes, depth first.

        Raises:
            ValueError: The graph has been built or consumed.
        """

@final
class Dag:
    """Python wrapper for DAG executor

    A built graph: immutable, executable any number of times, also from
    several threads at once. `Dag` objects come only from `Graph.build()`.
    """

    def execute(
        self,
        parallel: bool | Literal["dataflow"] = ...,
        max_threads: SupportsIndex | None = ...,
        *,
        inputs: Mapping[str, object] | None = ...,
        targets: Iterable[str] | None = ...,
        raise_on_failure: bool = ...,
    ) -> dict[str, Any]:
        """Run the nodes once, starting from the given inputs.

        Sequentially, the nodes run one after another on the calling thread,
        each seeing everything written before it. In parallel, the levels run
        one after another; the nodes of a level of two or more run on worker
        threads, all reading the context as it stood when the level began,
        and their outputs are merged when the whole level has finished. With
        `"dataflow"`, each node starts as soon as the nodes it depends on have
        finished, and sees the inputs and its ancestors' outputs only, merged
        in execution order; the result holds every node's outputs merged in
        execution order, whatever the timing. The
        calling thread gives the interpreter lock up while it waits for
        workers, so other Python threads run meanwhile; Python code of two
        nodes never runs at the same instant.

        Args:
            parallel: Run the nodes of one level concurrently (`True`), or
                each node once its dependencies have finished
                (`"dataflow"`). Must be a `bool` or `"dataflow"`; default
                `False`.
            max_threads: In parallel, at most this many nodes of a level run
                at once, in waves (0 counts as 1); `None`, the default, runs
                each level at once. In dataflow runs, at most this many
                nodes run at once. Ignored when `parallel` is false.
            inputs: Names to objects the run's context starts with (any
                mapping with `str` keys); nodes read them like any other
                variable. `None`, the default, starts from an empty context.
            targets: Names to compute: only the nodes whose results can reach
                one of them run, and only these names are returned. `None`,
                the default, runs every node and returns every name.
            raise_on_failure: Stop at the first node that fails and raise
                its exception, instead of printing it and going on. Default
                `False`.

        Returns:
            The final context: every variable given or written, with the
                value written last, in the order the names were first
                written (inputs first); with `targets`, only the targets.

        Raises:
            KeyboardInterrupt: A node function raised it; no later node ran.
            SystemExit: A node function raised it; no later node ran.
            PanicException: The run failed unrecoverably, for instance a
                worker thread could not be started.
            TypeError: `parallel` is neither a `bool` nor `"dataflow"`,
                `max_threads` is not an integer or `None`, `inputs` is not a
                mapping or has a key that is not a `str`, or a target is not
                a `str`; nothing ran.
            ValueError: A target is neither written by a node nor an input;
                nothing ran.
            GraphError: With `raise_on_failure`, a node that runs would read a
                name that nothing before it writes and no input gives; nothing
                ran. A `ValueError`.
            OverflowError: `max_threads` is negative or above 2**64 - 1.
        """

    def execute_detailed(
        self,
        parallel: bool | Literal["dataflow"] = ...,
        max_threads: SupportsIndex | None = ...,
        *,
        inputs: Mapping[str, object] | None = ...,
        targets: Iterable[str] | None = ...,
        raise_on_failure: bool = ...,
    ) -> RunResult:
        """Run the nodes once, as `execute` does, and report what the run did.

        Takes the same arguments, with the same rules and errors, and ends
        with the same stops and panics. Node failures are recorded in the
        result instead of being printed.

        Returns:
            A `RunResult`: the context, each node's and branch's outputs, the
                failures, each node's start and end on the clock of
                `time.perf_counter()`, and the thread that ran it. With
                `targets`, the context holds only the targets, and the other
                fields only the nodes that ran.
        """

    def check(
        self, inputs: Iterable[str] | Mapping[str, object] = ..., parallel: bool = ...
    ) -> list[Problem]:
        """Check the graph for what a run would miss or race on, without running it.

        Args:
            inputs: The names a run starts with (a mapping's keys); none by
                default.
            parallel: Check for a level-parallel run; default `False`.

        Returns:
            A "missing input" problem for every name a node reads that no
                node it can see writes and no input gives; in parallel mode, a
                "race" for every name that nodes of one level write side by
                side. Empty when nothing is wrong.
        """

    def to_mermaid(self) -> str:
        """Render the graph as the text of a top-down Mermaid flowchart.

        Every node is declared with its label, every dependency is an edge,
        labelled with the variables that flow along it, and the first node
        of each branch is filled with its own colour.
        """

    def _repr_markdown_(self) -> str:
        """The diagram as a fenced `mermaid` block, which notebooks and GitHub draw.

        A graph past Mermaid's default limits (50,000 characters or 500
        edges) gives a one-line summary instead.
        """

    @property
    def nodes(self) -> tuple[NodeInfo, ...]:
        """Every node, in id order: the graph's own nodes, then its branches'."""

    @property
    def execution_order(self) -> tuple[int, ...]:
        """Node ids in the order a sequential run executes them."""

    @property
    def levels(self) -> tuple[tuple[int, ...], ...]:
        """Node ids grouped by dependency depth; a parallel run goes level by level.

        A node's level is the length of the longest chain of dependencies
        leading to it. Read in order, the levels give `execution_order`.
        """

    def __len__(self) -> int:
        """The number of nodes."""

    def __reduce__(self) -> tuple[Callable[..., Dag], tuple[Any, ...]]:
        """Pickles the nodes: every node function and params value must pickle."""

    def __copy__(self) -> Dag:
        """The Dag itself: it never changes."""

    def __deepcopy__(self, memo: object, /) -> Dag:
        """The Dag itself: it never changes."""

    def _run_plan(
        self,
        parallel: bool | Literal["dataflow"],
        input_names: Iterable[str],
        targets: Iterable[str] | None,
    ) -> tuple[int, ...]: ...

@final
class NodeInfo(
    structseq[Any],
    tuple[
        int,
        str | None,
        object | None,
        dict[str, str],
        dict[str, str],
        tuple[int, ...],
        int | None,
        bool,
        dict[str, Any],
    ],
):
    """One node of a built Dag, as read from Dag.nodes.

    An immutable value that compares equal to another with the same fields;
    it unpacks like a tuple of its nine fields.
    """

    __match_args__: Final = (
        "id",
        "label",
        "function",
        "inputs",
        "outputs",
        "dependencies",
        "branch_id",
        "is_branch_entry",
        "params",
    )
    @property
    def id(self) -> int:
        """The node's id in its `Dag`."""

    @property
    def label(self) -> str | None:
        """The label given to `add`, or `None`."""

    @property
    def function(self) -> object | None:
        """The very object given to `add`, or `None` for a node that does nothing."""

    @property
    def inputs(self) -> dict[str, str]:
        """Context name to the function's name, in mapping order; a copy."""

    @property
    def outputs(self) -> dict[str, str]:
        """The function's name to context name, in mapping order; a copy."""

    @property
    def dependencies(self) -> tuple[int, ...]:
        """Ids of the nodes this node waits for, in the order of the graph's nodes."""

    @property
    def branch_id(self) -> int | None:
        """The id `branch` returned for the branch holding this node, or `None`."""

    @property
    def is_branch_entry(self) -> bool:
        """Whether this is the first node of a branch."""

    @property
    def params(self) -> dict[str, Any]:
        """The params given to `add`, in their order; a new dict each time it is read."""

class PanicException(BaseException):
    """An unrecoverable failure inside a call, carrying the failure's message.

    It derives from `BaseException`, so `except Exception` does not catch it.
    """

    """An unrecoverable failure inside a call, carrying the failure's message."""

def set_max_workers(count: int, /) -> int:
    """Sets the most worker threads that parallel runs of the process may use
    together, and returns the setting it replaces.

    A level that would need more waits for a worker to come free. The setting
    starts at the environment variable CORVANE_MAX_WORKERS, or 512.
    """

def _set_callbacks(hooks: tuple[tuple[Callable[..., object] | None, ...], ...], /) -> None: ...
def _current_run() -> int | None: ...
def _dag_from_nodes(nodes: tuple[NodeInfo, ...], /) -> Dag: ...
