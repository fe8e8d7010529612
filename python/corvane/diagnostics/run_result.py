"""What one detailed run did: its context, every node's outputs, failures and times."""

from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import Any

from corvane.diagnostics.gantt import gantt_chart

if sys.version_info >= (3, 11):
    from builtins import BaseExceptionGroup
else:  # pragma: no cover - exercised on Python 3.10 only
    from exceptiongroup import BaseExceptionGroup


@dataclass(frozen=True)
class RunResult:
    """The result of ``Dag.execute_detailed``.

    Times are seconds on the clock of ``time.perf_counter()``; threads are
    ``threading.get_ident()`` values. Every per-node dict holds the nodes
    that ran, keyed by node id.
    """

    #: The dict that ``Dag.execute`` would have returned for this run.
    context: dict[str, Any]
    #: Each node's outputs under context names (empty for a node that wrote nothing).
    node_outputs: dict[int, dict[str, Any]]
    #: Per branch id, everything that branch's nodes wrote, later writes winning.
    branch_outputs: dict[int, dict[str, Any]]
    #: The exception of every node whose function raised or returned no dict.
    failures: dict[int, BaseException]
    #: (start, end) of every node's function.
    timings: dict[int, tuple[float, float]]
    #: The thread that ran each node.
    threads: dict[int, int]
    #: Each node's label, or None.
    labels: dict[int, str | None]
    #: When the run started and ended.
    start: float
    end: float
    #: The thread that called ``execute_detailed``.
    calling_thread: int

    def raise_for_failures(self) -> None:
        """Raise an ExceptionGroup of the nodes' own exceptions, in node id
        order, each with a note naming its node; do nothing when no node failed."""
        if not self.failures:
            return
        exceptions = []
        for node_id in sorted(self.failures):
            exception = self.failures[node_id]
            _add_note_once(exception, self._note(node_id))
            exceptions.append(exception)
        count = len(exceptions)
        raise BaseExceptionGroup(f"{count} node{'s' if count != 1 else ''} failed", exceptions)

    def to_mermaid_gantt(self) -> str:
        """The run as the text of a Mermaid gantt chart: one section per
        thread (the calling thread first), one bar per node, in microseconds
        from the run's start."""
        return gantt_chart(
            self.start,
            self.calling_thread,
            [
                (self._name(node_id), self.threads[node_id], start, end)
                for node_id, (start, end) in self.timings.items()
            ],
        )

    def _note(self, node_id: int) -> str:
        # The note the run itself puts on a failure, so that it is not doubled.
        label = self.labels.get(node_id)
        return f"raised by node {node_id}" + ("" if label is None else f" '{label}'")

    def _name(self, node_id: int) -> str:
        label = self.labels.get(node_id)
        return label if label and label.strip() else f"Node {node_id}"


def _add_note_once(exception: BaseException, note: str) -> None:
    notes: list[str] = list(getattr(exception, "__notes__", []))
    if note in notes:
        return
    if sys.version_info >= (3, 11):
        exception.add_note(note)
    else:
        # No add_note() before 3.11; the backport prints __notes__ all the same.
        exception.__notes__ = [*notes, note]  # type: ignore[attr-defined]
