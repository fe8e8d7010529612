"""Type aliases of the package's public surface."""

from collections.abc import Callable
from typing import Any, Protocol, TypeAlias

NodeFunction: TypeAlias = Callable[[dict[str, Any], dict[str, Any]], dict[str, Any]]
"""What a node runs: called with its inputs under its own names and the
variant parameters (both dicts), it returns its results under its own names."""

NameMapping: TypeAlias = dict[str, str] | list[tuple[str, str] | str]
"""A name mapping as ``Graph.add`` takes it: a dict of names, or a list whose
items are (from, to) pairs or single names, which stand for the same name on
both sides."""


class NodeObject(Protocol):
    """An object that carries its own node form, as ``corvane.node`` makes:
    ``(call, input_names, output_names, optional_names)``, where ``call`` is
    the node function that runs and the names are the mappings ``Graph.add``
    uses when it is given none."""

    @property
    def __corvane_node__(
        self,
    ) -> tuple[NodeFunction, tuple[str, ...], tuple[str, ...], tuple[str, ...]]: ...
