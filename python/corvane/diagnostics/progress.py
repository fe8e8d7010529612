"""A progress bar of a run's nodes, drawn with tqdm."""

from __future__ import annotations

import importlib
import threading
from typing import TYPE_CHECKING, Any

from corvane import _core
from corvane.diagnostics.callback import Callback

if TYPE_CHECKING:
    from corvane._core import Dag


class ProgressBar(Callback):
    """Draws a bar of nodes finished over nodes to run, with elapsed time and
    rate, for each run started while it is active; closes it when the run
    ends. ``tqdm.auto`` picks a notebook widget or a terminal bar.

    A run started while the bar is drawn for another (a nested run inside a
    node, or a run on another thread) gets no bar of its own, and its nodes
    do not move the bar. Keyword arguments go to ``tqdm`` (``file``,
    ``desc``, ``leave``...).
    """

    def __init__(self, **tqdm_options: Any) -> None:
        try:
            auto = importlib.import_module("tqdm.auto")
        except ImportError as error:
            raise ImportError(
                "corvane.ProgressBar draws with tqdm, which is not installed: "
                "pip install corvane[progress]"
            ) from error
        super().__init__()
        self._tqdm = auto.tqdm
        self._options = {"unit": "node", **tqdm_options}
        self._lock = threading.Lock()
        self._bar: Any = None
        self._run: int | None = None

    def start(self, dag: Dag) -> None:
        with self._lock:
            if self._bar is not None:
                return
            self._run = _core._current_run()
            self._bar = self._tqdm(total=len(dag.execution_order), **self._options)

    def node_finish(
        self, dag: Dag, node_id: int, seconds: float, failure: BaseException | None
    ) -> None:
        with self._lock:
            if self._bar is not None and _core._current_run() == self._run:
                self._bar.update(1)

    def finish(self, dag: Dag, seconds: float) -> None:
        with self._lock:
            if self._bar is not None and _core._current_run() == self._run:
                self._bar.close()
                self._bar = None
                self._run = None
