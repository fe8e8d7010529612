"""Initialize the Python module"""

from collections.abc import Callable
from typing import Any, Final, Literal, SupportsIndex, final

from _typeshed import structseq

from corvane._types import NameMapping, NodeFunction
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
        function: NodeFunction | None = ...,
        label: str | None = ...,
        inputs: NameMapping | None = ...,
        outputs: NameMapping | None = ...,
    ) -> None:
        """Add a node that depends on the node added before it.

        Args:
            function: The node function, called as `function(inputs, params)`
                with two dicts; it returns a dict of results. `None` makes a
                node that does nothing (the default). Any object is accepted
                here; one that cannot be called fails when its node runs.
            label: The node's name in the Mermaid diagram; `None`, the
                default, shows `Node {id}`.
            inputs: Context name to the function's name, as a dict or a list
                of pairs. Only these variables reach the function; `None`,
                the default, passes none.
            outputs: The function's name to context name, as a dict or a
                list of pairs. Only these results leave the node; `None`,
                the default, keeps none.

        Raises:
            ValueError: The graph has been built or consumed, or a mapping is
                neither a dict nor a list of pairs of strings.
            TypeError: `label` is not a string or `None`.
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
    ) -> dict[str, Any]:
        """Run every node once, starting from an empty context.

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

        Returns:
            The final context: every variable written by any node, with
                the value written last. The order of the entries is
                unspecified.

        Raises:
            KeyboardInterrupt: A node function raised it; no later node ran.
            SystemExit: A node function raised it; no later node ran.
            PanicException: The run failed unrecoverably, for instance a
                worker thread could not be started.
            TypeError: `parallel` is not a `bool` nor `"dataflow"`, or `max_threads` is not an
                integer or `None`.
            OverflowError: `max_threads` is negative or above 2**64 - 1.
        """

    def execute_detailed(
        self,
        parallel: bool | Literal["dataflow"] = ...,
        max_threads: SupportsIndex | None = ...,
    ) -> RunResult:
        """Run every node once, as `execute` does, and report what the run did.

        Takes the same arguments, with the same rules and errors, and ends
        with the same stops and panics. Node failures are recorded in the
        result instead of being printed.

        Returns:
            A `RunResult`: the context, each node's and branch's outputs, the
                failures, each node's start and end on the clock of
                `time.perf_counter()`, and the thread that ran it.
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
    ],
):
    """One node of a built Dag, as read from Dag.nodes.

    An immutable value that compares equal to another with the same fields;
    it unpacks like a tuple of its eight fields.
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
        """Context name to the function's name; a copy, changing it changes no `Dag`."""

    @property
    def outputs(self) -> dict[str, str]:
        """The function's name to context name; a copy, changing it changes no `Dag`."""

    @property
    def dependencies(self) -> tuple[int, ...]:
        """Ids of the nodes this node waits for, in the order added."""

    @property
    def branch_id(self) -> int | None:
        """The id `branch` returned for the branch holding this node, or `None`."""

    @property
    def is_branch_entry(self) -> bool:
        """Whether this is the first node of a branch."""

class PanicException(BaseException):
    """An unrecoverable failure inside a call, carrying the failure's message.

    It derives from `BaseException`, so `except Exception` does not catch it.
    """

    """An unrecoverable failure inside a call, carrying the failure's message."""

def _set_callbacks(hooks: tuple[tuple[Callable[..., object] | None, ...], ...], /) -> None: ...
def _current_run() -> int | None: ...
