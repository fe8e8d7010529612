"""Type aliases of the package's public surface."""

from collections.abc import Callable
from typing import Any, TypeAlias

NodeFunction: TypeAlias = Callable[[dict[str, Any], dict[str, Any]], dict[str, Any]]
"""What a node runs: called with its inputs under its own names and the
variant parameters (both dicts), it returns its results under its own names."""

NameMapping: TypeAlias = dict[str, str] | list[tuple[str, str]]
"""A name mapping as ``Graph.add`` takes it: a dict of names, or a list of
(from, to) pairs."""
