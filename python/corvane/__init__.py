"""Initialize the Python module"""

from corvane._core import Dag as Dag
from corvane._core import Graph as Graph
from corvane._core import NodeInfo as NodeInfo
from corvane._core import PanicException as PanicException
from corvane._core import set_max_workers as set_max_workers
from corvane._node import node as node
from corvane._problems import GraphError as GraphError
from corvane._problems import Problem as Problem
from corvane._types import NameMapping as NameMapping
from corvane._types import NodeFunction as NodeFunction
from corvane._types import NodeObject as NodeObject
from corvane._version import version
from corvane.diagnostics import Callback as Callback
from corvane.diagnostics import ProgressBar as ProgressBar
from corvane.diagnostics import RunResult as RunResult

__all__ = ["Graph", "Dag"]

#: The package version; its one source is pyproject.toml.
__version__: str = version
del version
