"""Pickling a Dag: its nodes, each function pickled on its own.

``Dag.__reduce__`` returns what ``reduce_dag`` gives: the call that rebuilds
the Dag from its nodes. Each node function travels as the bytes of its own
pickle, made while the Dag is pickled, so that a function that cannot be
pickled is reported with the node that runs it. A function used by several
nodes is pickled once and shared by them, as a pickle shares any object.
"""

from __future__ import annotations

import pickle
from collections.abc import Callable
from typing import Any

from corvane import _core
from corvane._core import Dag, NodeInfo
from corvane._dask_tasks import describe_node


def _load_function(data: bytes) -> object:
    return pickle.loads(data)


class _PickledFunction:
    """Stands for a node function in the pickled nodes; pickling it pickles
    the function, naming the node when that fails."""

    __slots__ = ("function", "node_id", "label")

    def __init__(self, function: object, node_id: int, label: str | None) -> None:
        self.function = function
        self.node_id = node_id
        self.label = label

    def __reduce__(self) -> tuple[Callable[[bytes], object], tuple[bytes]]:
        try:
            data = pickle.dumps(self.function, protocol=pickle.HIGHEST_PROTOCOL)
        except Exception as error:
            # The pickler's own errors for a local function or a lambda are
            # AttributeError or TypeError: all of them become one error.
            raise pickle.PicklingError(
                f"corvane {describe_node(self.node_id, self.label)}: cannot pickle its "
                f"function {self.function!r}: {type(error).__name__}: {error}"
            ) from error
        return _load_function, (data,)


def reduce_dag(dag: Dag) -> tuple[Callable[..., Dag], tuple[Any, ...]]:
    """What ``pickle`` needs to rebuild `dag`: its nodes, with the same ids,
    dependencies, mappings, params, labels and branches."""
    holders: dict[int, _PickledFunction] = {}
    nodes = []
    for info in dag.nodes:
        function = info.function
        if function is not None:
            holder = holders.get(id(function))
            if holder is None:
                holder = holders[id(function)] = _PickledFunction(function, info.id, info.label)
            function = holder
        nodes.append(NodeInfo((*info[:2], function, *info[3:])))
    return _core._dag_from_nodes, (tuple(nodes),)
