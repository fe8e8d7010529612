"""Run callbacks: hooks that every run started while they are active calls."""

from __future__ import annotations

import threading
import warnings
from collections.abc import Callable
from types import TracebackType
from typing import TYPE_CHECKING, Any

from corvane import _core

if TYPE_CHECKING:
    from typing_extensions import Self

    from corvane._core import Dag

StartHook = Callable[["Dag"], Any]
NodeStartHook = Callable[["Dag", int], Any]
NodeFinishHook = Callable[["Dag", int, float, "BaseException | None"], Any]
FinishHook = Callable[["Dag", float], Any]

_HOOK_NAMES = ("start", "node_start", "node_finish", "finish")


class Callback:
    """Hooks called around every run started anywhere in the process while
    the callback is active (inside its ``with`` block).

    Override any of the four hook methods in a subclass, or pass them to the
    constructor as functions:

    - ``start(dag)``: before the run's first node, on the calling thread;
    - ``node_start(dag, node_id)``: before a node's function, on the thread
      that runs the node;
    - ``node_finish(dag, node_id, seconds, failure)``: after it, with the
      exception it failed with, or None;
    - ``finish(dag, seconds)``: after the run, also when it failed.

    Hooks left as they are here cost a run nothing. A subclass method whose
    name starts with ``node_`` but is none of the hooks (a misspelled hook)
    warns when the class is made.

    Hooks are called with the interpreter lock held. One that raises has its
    traceback printed and the run goes on; KeyboardInterrupt or SystemExit
    stops the run. Several callbacks may be active at once, each called in
    the order they became active; entering one that is active already does
    not register it again.
    """

    def __init__(
        self,
        start: StartHook | None = None,
        node_start: NodeStartHook | None = None,
        node_finish: NodeFinishHook | None = None,
        finish: FinishHook | None = None,
    ) -> None:
        hooks = (start, node_start, node_finish, finish)
        for name, hook in zip(_HOOK_NAMES, hooks, strict=True):
            if hook is not None:
                setattr(self, name, hook)

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        for name, value in vars(cls).items():
            if name.startswith("node_") and name not in _HOOK_NAMES and callable(value):
                warnings.warn(
                    f"{cls.__qualname__}.{name} is not a run callback hook and is never "
                    f"called; the hooks are {', '.join(_HOOK_NAMES[:-1])} and {_HOOK_NAMES[-1]}",
                    UserWarning,
                    stacklevel=2,
                )

    def start(self, dag: Dag) -> None:
        """Called before the run's first node, on the calling thread."""

    def node_start(self, dag: Dag, node_id: int) -> None:
        """Called before a node's function, on the thread that runs the node."""

    def node_finish(
        self, dag: Dag, node_id: int, seconds: float, failure: BaseException | None
    ) -> None:
        """Called after a node's function, with the exception it failed with,
        or None."""

    def finish(self, dag: Dag, seconds: float) -> None:
        """Called after the run, also when it failed."""

    def _hooks(self) -> tuple[Callable[..., Any] | None, ...]:
        return tuple(self._hook(name) for name in _HOOK_NAMES)

    def _hook(self, name: str) -> Callable[..., Any] | None:
        # The no-ops above count as no hook at all: a run then skips the call
        # instead of making it for every node.
        hook: Callable[..., Any] | None = getattr(self, name)
        return None if getattr(hook, "__func__", None) is getattr(Callback, name) else hook

    def __enter__(self) -> Self:
        _registry.enter(self)
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        _registry.exit(self)


class _Registry:
    """The active callbacks in the order they became active, each with how
    many ``with`` blocks hold it, kept in step with the native module's view.
    Keyed by identity: a callback need not be hashable."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._active: dict[int, tuple[Callback, int]] = {}

    def enter(self, callback: Callback) -> None:
        with self._lock:
            _, depth = self._active.get(id(callback), (callback, 0))
            self._active[id(callback)] = (callback, depth + 1)
            self._publish()

    def exit(self, callback: Callback) -> None:
        with self._lock:
            _, depth = self._active.pop(id(callback), (callback, 1))
            if depth > 1:
                self._active[id(callback)] = (callback, depth - 1)
            self._publish()

    def _publish(self) -> None:
        _core._set_callbacks(tuple(callback._hooks() for callback, _ in self._active.values()))


_registry = _Registry()
