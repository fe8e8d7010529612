"""Initialize the Python module"""

from collections.abc import Callable
from typing import Any, Final, SupportsIndex, final

from _typeshed import structseq

from corvane._types import NameMapping, NodeFunction
from corvane.diagnostics.run_result import RunResult

__all__ = ["Graph", "Dag"]

@final
class Graph:
    """Python wrapper for Graph builder"""

    def __init__(self) -> None: ...
    def add(
        self,
        # Any object is taken; one that cannot be called fails when its node runs.
        function: NodeFunction | None = ...,
        label: str | None = ...,
        inputs: NameMapping | None = ...,
        outputs: NameMapping | None = ...,
    ) -> None: ...
    def branch(self, subgraph: Graph) -> int: ...
    def build(self) -> Dag: ...

@final
class Dag:
    """Python wrapper for DAG executor"""

    def execute(
        self, parallel: bool = ..., max_threads: SupportsIndex | None = ...
    ) -> dict[str, Any]: ...
    def execute_detailed(
        self, parallel: bool = ..., max_threads: SupportsIndex | None = ...
    ) -> RunResult: ...
    def to_mermaid(self) -> str: ...
    def _repr_markdown_(self) -> str: ...
    @property
    def nodes(self) -> tuple[NodeInfo, ...]: ...
    @property
    def execution_order(self) -> tuple[int, ...]: ...
    @property
    def levels(self) -> tuple[tuple[int, ...], ...]: ...
    def __len__(self) -> int: ...

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
    """One node of a built Dag, as read from Dag.nodes."""

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
    def id(self) -> int: ...
    @property
    def label(self) -> str | None: ...
    @property
    def function(self) -> object | None: ...
    @property
    def inputs(self) -> dict[str, str]: ...
    @property
    def outputs(self) -> dict[str, str]: ...
    @property
    def dependencies(self) -> tuple[int, ...]: ...
    @property
    def branch_id(self) -> int | None: ...
    @property
    def is_branch_entry(self) -> bool: ...

class PanicException(BaseException):
    """An unrecoverable failure inside a call, carrying the failure's message."""

def _set_callbacks(hooks: tuple[tuple[Callable[..., object] | None, ...], ...], /) -> None: ...
def _current_run() -> int | None: ...
