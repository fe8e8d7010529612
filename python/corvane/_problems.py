"""What a graph check finds before a run, and the error a strict run raises
for it. The extension reports problems as plain tuples; this module turns
them into values and messages."""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable
from typing import Literal, NoReturn, TypeAlias

# A union of two literals, not one literal of two values: stubtest checks the
# alias against its runtime value, and only the former is a union there.
ProblemKind: TypeAlias = Literal["missing input"] | Literal["race"]  # noqa: PYI030
_KINDS: dict[str, ProblemKind] = {"missing input": "missing input", "race": "race"}

#: A problem as the extension reports it: kind, node id, label, name, the
#: writers of a race as (id, label) pairs, and the race's level.
Writers: TypeAlias = tuple[tuple[int, "str | None"], ...]
RawProblem: TypeAlias = tuple[str, int, "str | None", str, Writers, int]


@dataclasses.dataclass(frozen=True, slots=True)
class Problem:
    """One thing a graph check found, as ``Dag.check`` returns it.

    - ``kind``: ``"missing input"`` (a node reads a name that no node running
      before it writes and that is not an input of the run) or ``"race"``
      (nodes of one level of a parallel run write the same name, so the
      value kept depends on timing);
    - ``node_id``, ``label``: the node that reads the name, or a race's
      first writer in node-list order;
    - ``name``: the name read or written;
    - ``message``: a sentence naming the nodes, also what ``str()`` gives.
    """

    kind: ProblemKind
    node_id: int
    label: str | None
    name: str
    message: str

    def __str__(self) -> str:
        return self.message


class GraphError(ValueError):
    """A graph that cannot run as asked. ``problems`` holds every problem
    found; the message lists them, one per line."""

    problems: list[Problem]

    def __init__(self, problems: Iterable[Problem]) -> None:
        self.problems = list(problems)
        count = len(self.problems)
        heading = f"{count} problem{'' if count == 1 else 's'} in the graph:"
        super().__init__("\n  ".join([heading, *(problem.message for problem in self.problems)]))

    def __reduce__(self) -> tuple[type[GraphError], tuple[list[Problem]]]:
        return (GraphError, (self.problems,))


def describe_node(node_id: int, label: str | None) -> str:
    """A node as messages name it: ``node 11 'train svc'``, or ``node 11``."""
    return f"node {node_id}" if label is None else f"node {node_id} '{label}'"


def _message(kind: str, node: str, name: str, writers: Writers, level: int) -> str:
    if kind == "missing input":
        return (
            f"{node} reads '{name}', but it is not an input "
            "and no node that runs before it writes it"
        )
    named = [describe_node(*writer) for writer in writers]
    return (
        f"{', '.join(named[:-1])} and {named[-1]} write '{name}' side by side on level {level}: "
        "which value is kept depends on timing"
    )


def problems_from_native(raw: list[RawProblem]) -> list[Problem]:
    """Problems from the extension's tuples, in the order given."""
    problems = []
    for kind, node_id, label, name, writers, level in raw:
        message = _message(kind, describe_node(node_id, label), name, writers, level)
        problems.append(Problem(_KINDS[kind], node_id, label, name, message))
    return problems


def raise_missing_inputs(problems: list[Problem]) -> NoReturn:
    """Raises GraphError listing every "missing input" problem of `problems`:
    what a strict run does before any node starts."""
    raise GraphError(problem for problem in problems if problem.kind == "missing input")
