"""``corvane.node``: a plain Python function as a node function.

``@corvane.node`` turns ``def f(a, b): ...`` into an object that stays
callable as ``f`` and also carries the node form ``Graph.add`` looks for:
called with ``(inputs, params)``, it calls ``f`` with both as keyword
arguments and returns ``{name: result}`` under the declared names. Without
``inputs``/``outputs``, ``add`` maps the parameter names and the returned
names to the same names of the context.
"""

from __future__ import annotations

import functools
import inspect
import sys
from collections.abc import Callable
from typing import Any, Generic, ParamSpec, TypeVar, overload

from corvane._types import NodeFunction

P = ParamSpec("P")
R = TypeVar("R")

Returns = str | tuple[str, ...]

_NAMED = (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)


def node_call(function: Callable[..., Any], returns: Returns) -> NodeFunction:
    """The node form of a decorated function: ``call(inputs, params)``.

    Inputs and params reach the function as keyword arguments; an input
    and a param of one name give the input. A closure rather than an object
    with ``__call__``: a node calls it on every run, and a plain function is
    the cheapest thing to call.
    """
    if isinstance(returns, str):

        def call(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
            if params:
                params.update(inputs)
                inputs = params
            return {returns: function(**inputs)}

    else:

        def call(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
            if params:
                params.update(inputs)
                inputs = params
            return _unpacked(function, returns, function(**inputs))

    call.__qualname__ = f"node form of {_name_of(function)}"
    return call


def _unpacked(function: Callable[..., Any], names: tuple[str, ...], result: Any) -> dict[str, Any]:
    if not names:
        return {}
    try:
        values = tuple(result)
    except TypeError:
        raise TypeError(
            f"{_name_of(function)} returned {type(result).__name__}, which cannot be "
            f"unpacked into {names}"
        ) from None
    if len(values) != len(names):
        raise ValueError(
            f"{_name_of(function)} returned {len(values)} values, expected {len(names)}: {names}"
        )
    return dict(zip(names, values, strict=True))


def _name_of(function: object) -> str:
    return getattr(function, "__qualname__", None) or repr(function)


class DecoratedNode(Generic[P, R]):
    """A function made a node function by ``corvane.node``.

    Calling it calls the plain function. ``Graph.add`` and ``Graph.join``
    run it through ``__corvane_node__``: ``(call, input_names,
    output_names, optional_names)``.
    """

    __corvane_node__: tuple[NodeFunction, tuple[str, ...], tuple[str, ...], tuple[str, ...]]
    __wrapped__: Callable[P, R]
    __name__: str
    __qualname__: str

    def __init__(self, function: Callable[P, R], returns: object) -> None:
        self._returns = checked = _checked_returns(returns)
        functools.update_wrapper(self, function)
        names: list[str] = []
        optional: list[str] = []
        for parameter in inspect.signature(function).parameters.values():
            if parameter.kind is inspect.Parameter.VAR_KEYWORD:
                continue
            if parameter.kind not in _NAMED:
                raise TypeError(
                    f"corvane.node: {_name_of(function)} takes {parameter} by position "
                    "only; a node passes every value by name"
                )
            names.append(parameter.name)
            if parameter.default is not inspect.Parameter.empty:
                optional.append(parameter.name)
        outputs = (checked,) if isinstance(checked, str) else checked
        self.__corvane_node__ = (
            node_call(function, checked),
            tuple(names),
            outputs,
            tuple(optional),
        )

    @property
    def returns(self) -> Returns:
        """The name, or the tuple of names, the result is written under."""
        return self._returns

    def __call__(self, *args: P.args, **kwargs: P.kwargs) -> R:
        return self.__wrapped__(*args, **kwargs)

    def __repr__(self) -> str:
        return f"<corvane.node {self.__qualname__} returns {self.returns!r}>"

    def __reduce__(self) -> str | tuple[Callable[..., DecoratedNode[Any, Any]], tuple[Any, ...]]:
        # By reference: the module's name for the function now names this
        # object. A local one has no such name; its plain function is sent
        # instead, which picklers that send functions by value can do.
        if _found_by_name(self):
            return self.__qualname__
        return by_value(self)


def by_value(decorated: DecoratedNode[Any, Any]) -> tuple[Callable[..., Any], tuple[Any, ...]]:
    """A reduction that rebuilds `decorated` from its plain function."""
    return _rebuild, (decorated.__wrapped__, decorated.returns)


def _rebuild(function: Callable[..., Any], returns: Returns) -> DecoratedNode[Any, Any]:
    return DecoratedNode(function, returns)


def _found_by_name(decorated: DecoratedNode[Any, Any]) -> bool:
    found: object = sys.modules.get(decorated.__module__)
    for part in decorated.__qualname__.split("."):
        found = getattr(found, part, None)
    return found is decorated


def _checked_returns(returns: object) -> Returns:
    if isinstance(returns, str):
        return returns
    if isinstance(returns, tuple) and all(isinstance(name, str) for name in returns):
        if len(set(returns)) != len(returns):
            raise ValueError(f"corvane.node: returns names a result twice: {returns}")
        return returns
    raise TypeError(f"corvane.node: returns must be a str or a tuple of str, not {returns!r}")


@overload
def node(function: Callable[P, R], /, *, returns: Returns | None = None) -> DecoratedNode[P, R]: ...
@overload
def node(
    function: None = None, /, *, returns: Returns | None = None
) -> Callable[[Callable[P, R]], DecoratedNode[P, R]]: ...


def node(
    function: Callable[P, R] | None = None, /, *, returns: Returns | None = None
) -> DecoratedNode[P, R] | Callable[[Callable[P, R]], DecoratedNode[P, R]]:
    """Make a plain function a node function, by decorating it.

    ```python
    @corvane.node
    def scaled(rows, factor=2):
        return [row * factor for row in rows]

    graph.add(scaled)  # reads `rows` (and `factor`, if some node writes it), writes `scaled`
    ```

    The node calls the function with its inputs and params as keyword
    arguments (an input wins over a param of the same name; a parameter with
    a default that neither supplies keeps its default) and writes the result
    under `returns`. Without `inputs` or `outputs`, `Graph.add` and
    `Graph.join` map the function's parameter names and the returned names
    to the same names in the context; given explicitly, they replace them.

    The decorated object is still the function: calling it calls the plain
    function, it keeps `__name__`, `__doc__` and `__wrapped__`, and it pickles
    by reference, as the module-level name it is bound to.

    Args:
        function: The function, when used bare (`@corvane.node`).
        returns: The name the result is written under (default: the
            function's `__name__`), or a tuple of names the result is
            unpacked into; a result of another length fails the node with a
            message naming the function and the names. An empty tuple
            writes nothing.

    Raises:
        TypeError: `returns` is neither a str nor a tuple of str, or the
            function takes a parameter by position only or `*args`.
        ValueError: `returns` repeats a name.
    """
    if function is not None:
        return DecoratedNode(function, function.__name__ if returns is None else returns)

    if returns is not None:
        _checked_returns(returns)

    def decorate(function: Callable[P, R]) -> DecoratedNode[P, R]:
        return DecoratedNode(function, function.__name__ if returns is None else returns)

    return decorate
