"""The callables that run inside Dask tasks built by ``corvane.dask``.

They import nothing from Dask, so a worker unpickles them with corvane alone.
An input's task yields the value given for it; a node's task calls its
function exactly as ``Dag.execute`` does and returns the node's outputs under
context names; a resolver task picks the value a name holds after one
writer; the final task assembles the context.

A name's resolution is MISSING or a pair ``(value, first)``: ``first`` is
the place in the run where the name was first written (inputs before every
node), so that the final context lists names in the order a local run
writes them.
"""

from __future__ import annotations

import os
import pickle
import sys
from collections.abc import Callable, Mapping
from typing import Any, Final

from corvane._core import PanicException
from corvane._node import DecoratedNode, by_value


class _Missing:
    """Stands for "this name holds no value yet"; pickles as the one instance."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "MISSING"

    def __reduce__(self) -> str:
        return "MISSING"


MISSING: Final = _Missing()

#: Where a name was first written: (step, node within the step, output).
Place = tuple[int, int, int]

_NOT_A_DICT = "Python function did not return a dict"
_PANIC_NOTICE = (
    b"corvane: a Python node function raised PanicException\n"
    b"corvane: the run fails with it; its traceback follows\n"
)


def _write(text: str) -> None:
    """Writes to the stream that is ``sys.stderr`` now; a stream that cannot
    take the text loses it, as the message was all there was to say."""
    try:
        sys.stderr.write(text)
    except Exception:
        pass


def _display(error: BaseException) -> None:
    import traceback

    stream = sys.stderr
    if stream is None:
        return
    try:
        traceback.print_exception(type(error), error, error.__traceback__, file=stream)
    except Exception:
        pass


def print_exception(error: BaseException) -> None:
    """Reports `error` as the interpreter reports an exception it prints
    itself: through ``sys.excepthook``, falling back to the default display
    when the hook is missing or fails, and leaving ``sys.last_*`` alone."""
    hook = getattr(sys, "excepthook", None)
    try:
        sys.audit("sys.excepthook", hook, type(error), error, error.__traceback__)
    except RuntimeError:
        return
    if hook is None:
        _write("sys.excepthook is missing\n")
        _display(error)
        return
    try:
        hook(type(error), error, error.__traceback__)
    except Exception as hook_error:
        _write("Error in sys.excepthook:\n")
        _display(hook_error)
        _write("\nOriginal exception was:\n")
        _display(error)


def describe_node(node_id: int, label: str | None) -> str:
    """ "node 3 'load'", or "node 3" for a node without a label, as a local
    run names a node."""
    return f"node {node_id}" if label is None else f"node {node_id} '{label}'"


def add_note(error: BaseException, note: str) -> None:
    """Adds `note` to `error` once, also when one exception object fails
    several nodes."""
    notes = getattr(error, "__notes__", None)
    if isinstance(notes, list) and note in notes:
        return
    if sys.version_info >= (3, 11):
        error.add_note(note)
    elif notes is None:
        error.__notes__ = [note]  # type: ignore[attr-defined]
    else:
        notes.append(note)


def _result_by_name(result: dict[Any, Any]) -> dict[str, Any]:
    """The entries of a returned dict that a context can hold: keys that are
    ``str`` and encode as UTF-8, by their plain text; later keys win."""
    named: dict[str, Any] = {}
    # dict's own iteration, so a subclass's overrides see no call.
    for key, value in dict.items(result):
        if type(key) is not str:
            if not isinstance(key, str):
                continue
            key = str.__str__(key)
        if not key.isascii():
            try:
                key.encode("utf-8")
            except UnicodeEncodeError:
                continue
        named[key] = value
    return named


def _restore_node_call(
    function_bytes: bytes,
    params: dict[str, Any],
    node_id: int,
    label: str | None,
    reads: tuple[str, ...],
    outputs: tuple[tuple[str, str], ...],
    raise_on_failure: bool,
) -> NodeCall:
    function = pickle.loads(function_bytes)
    return NodeCall(function, params, node_id, label, reads, outputs, raise_on_failure)


class _PlainFunction:
    """Sends a decorated node as its plain function, which cloudpickle sends
    by value: for a module whose functions cloudpickle sends by value (the
    main script, a notebook, a registered module), where the decorated
    node's own reference would not resolve on a worker."""

    __slots__ = ("decorated",)

    def __init__(self, decorated: DecoratedNode[Any, Any]) -> None:
        self.decorated = decorated

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        return by_value(self.decorated)


def _sent_by_value(module: str) -> bool:
    import cloudpickle  # type: ignore[import-untyped]

    registered = cloudpickle.list_registry_pickle_by_value()
    parts = module.split(".")
    prefixes = (".".join(parts[:length]) for length in range(1, len(parts) + 1))
    return module == "__main__" or any(prefix in registered for prefix in prefixes)


def _sendable(function: object) -> object:
    if isinstance(function, DecoratedNode) and _sent_by_value(function.__module__):
        return _PlainFunction(function)
    return function


class NodeCall:
    """One node's work: called with the resolutions of the names it reads,
    it calls the node's function with its inputs (in the order of its inputs
    mapping, leaving out names without a value) and a new dict of its
    params, and returns the outputs under context names. A function made by
    ``corvane.node`` is called through its node form.

    A failing function writes nothing: its exception, with a note naming the
    node, is printed where the task runs, or, with `raise_on_failure`, fails
    the task. KeyboardInterrupt and SystemExit always propagate; a
    PanicException fails the task as it fails a local run.
    """

    __slots__ = (
        "function",
        "call",
        "params",
        "node_id",
        "label",
        "reads",
        "outputs",
        "raise_on_failure",
    )

    def __init__(
        self,
        function: object,
        params: Mapping[str, Any],
        node_id: int,
        label: str | None,
        reads: tuple[str, ...],
        outputs: tuple[tuple[str, str], ...],
        raise_on_failure: bool,
    ) -> None:
        self.function = function
        form = getattr(function, "__corvane_node__", None)
        self.call: Any = function if form is None else form[0]
        self.params = dict(params)
        self.node_id = node_id
        self.label = label
        # The function's own names for the values passed, in argument order.
        self.reads = reads
        # (function's name, context name) pairs; a later pair for one context
        # name wins.
        self.outputs = outputs
        self.raise_on_failure = raise_on_failure

    def __repr__(self) -> str:
        return f"<corvane {describe_node(self.node_id, self.label)}>"

    def __reduce__(self) -> tuple[Callable[..., NodeCall], tuple[Any, ...]]:
        # The function is pickled here, on its own, so that a function that
        # cannot be sent to another process is reported with its node.
        import cloudpickle

        try:
            function_bytes = cloudpickle.dumps(
                _sendable(self.function), protocol=pickle.HIGHEST_PROTOCOL
            )
        except Exception as error:
            raise pickle.PicklingError(
                f"corvane {describe_node(self.node_id, self.label)}: its function "
                f"{self.function!r} cannot be pickled for a process-based scheduler: {error}"
            ) from error
        arguments = (
            function_bytes,
            self.params,
            self.node_id,
            self.label,
            self.reads,
            self.outputs,
            self.raise_on_failure,
        )
        return _restore_node_call, arguments

    def __call__(self, *resolutions: Any) -> dict[str, Any]:
        inputs: dict[str, Any] = {}
        for name, resolved in zip(self.reads, resolutions, strict=False):
            if resolved is not MISSING:
                inputs[name] = resolved[0]
        try:
            result = self.call(inputs, dict(self.params))
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:
            note = f"raised by {describe_node(self.node_id, self.label)}"
            if not isinstance(error, PanicException):
                add_note(error, note)
            if self.raise_on_failure:
                raise
            # Drop this frame, so that the traceback starts in the function
            # (and is absent for a call that failed before entering it).
            error.__traceback__ = error.__traceback__.tb_next if error.__traceback__ else None
            return self._failed(error)
        if not isinstance(result, dict):
            what = f"{describe_node(self.node_id, self.label)} returned {type(result).__name__}"
            if self.raise_on_failure:
                raise TypeError(f"{_NOT_A_DICT}: {what}")
            _write(f"Error: {_NOT_A_DICT}\n{what}\n")
            return {}
        named = _result_by_name(result)
        outputs: dict[str, Any] = {}
        for own_name, context_name in self.outputs:
            if own_name in named:
                outputs[context_name] = named[own_name]
        return outputs

    @staticmethod
    def _failed(error: BaseException) -> dict[str, Any]:
        if isinstance(error, PanicException):
            os.write(2, _PANIC_NOTICE)
            print_exception(error)
            raise PanicException(str(error))
        # The note is on the exception, which the traceback shows (before 3.11
        # through the exceptiongroup backport that corvane imports).
        print_exception(error)
        return {}


class Given:
    """An input of the run: yields its value, first written before any node."""

    __slots__ = ("value", "place")

    def __init__(self, value: Any, place: Place) -> None:
        self.value = value
        self.place = place

    def __repr__(self) -> str:
        return f"<corvane input at {self.place}>"

    def __reduce__(self) -> tuple[type[Given], tuple[Any, Place]]:
        return Given, (self.value, self.place)

    def __call__(self) -> tuple[Any, Place]:
        return self.value, self.place


class Pick:
    """Resolves one name after one writer: the writer's value if its outputs
    hold the name, else the resolution from before it."""

    __slots__ = ("name", "place")

    def __init__(self, name: str, place: Place) -> None:
        self.name = name
        self.place = place

    def __repr__(self) -> str:
        return f"<corvane pick {self.name!r}>"

    def __reduce__(self) -> tuple[type[Pick], tuple[str, Place]]:
        return Pick, (self.name, self.place)

    def __call__(self, outputs: dict[str, Any], previous: Any = MISSING) -> Any:
        if self.name not in outputs:
            return previous
        first = self.place if previous is MISSING else previous[1]
        return outputs[self.name], first


class Assemble:
    """Builds the final context from each name's last resolution, in the
    order the names were first written; further arguments are only there to
    make their tasks run."""

    __slots__ = ("names",)

    def __init__(self, names: tuple[str, ...]) -> None:
        self.names = names

    def __repr__(self) -> str:
        return f"<corvane context of {len(self.names)} names>"

    def __reduce__(self) -> tuple[type[Assemble], tuple[tuple[str, ...]]]:
        return Assemble, (self.names,)

    def __call__(self, *resolutions: Any) -> dict[str, Any]:
        resolved = [
            (name, value)
            for name, value in zip(self.names, resolutions, strict=False)
            if value is not MISSING
        ]
        resolved.sort(key=lambda item: item[1][1])
        return {name: value for name, (value, _) in resolved}
