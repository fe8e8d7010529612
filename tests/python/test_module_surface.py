import inspect
import weakref

import pytest

import corvane
from conftest import run_python

ADD_DOC = (
    "Add a node to the graph\n\nArgs:\n"
    "    function: Optional Python callable. If None, creates a no-op node.\n"
    "    label: Optional string label for the node\n"
    "    inputs: Optional list of (broadcast_var, impl_var) tuples or dict\n"
    "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict\n"
    "    params: Optional mapping of str to objects, passed to every call of the\n"
    "        function as its second argument (a new dict each call)\n\n"
    "Returns:\n    Self for method chaining"
)
BRANCH_DOC = (
    "Create a branch in the graph\n\nArgs:\n"
    "    subgraph: PyGraph instance representing the branch\n\n"
    "Returns:\n    Branch ID (usize)"
)
BUILD_DOC = "Build the DAG from the graph\n\nReturns:\n    PyDag instance ready for execution"
EXECUTE_DOC = (
    "Execute the DAG\n\nArgs:\n"
    "    parallel (bool | 'dataflow'): If True, execute nodes at the same level concurrently; "
    "if 'dataflow', start each node once the nodes it depends on have finished. Default: False\n"
    "    max_threads (Optional[int]): Maximum number of threads to use per level (in dataflow "
    "runs, nodes running at once). None = unlimited. Default: None\n"
    "    inputs (Optional[Mapping[str, object]]): The context the run starts from. Default: None\n"
    "    targets (Optional[Iterable[str]]): Run only the nodes whose results can reach these "
    "names, and return only these names. Default: None (every node, every name)\n"
    "    raise_on_failure (bool): If True, the first node that fails stops the run, which "
    "raises that node's exception. Default: False\n\n"
    "Returns:\n    Dictionary containing the execution context"
)
TO_MERMAID_DOC = (
    "Get Mermaid diagram representation\n\nReturns:\n    String containing the Mermaid diagram"
)

METHODS = [
    (
        corvane.Graph.add,
        "($self, function=..., label=..., inputs=..., outputs=..., params=...)",
        ADD_DOC,
        ["self", "function", "label", "inputs", "outputs", "params"],
    ),
    (corvane.Graph.branch, "($self, subgraph)", BRANCH_DOC, ["self", "subgraph"]),
    (corvane.Graph.build, "($self)", BUILD_DOC, ["self"]),
    (
        corvane.Dag.execute,
        "($self, parallel=..., max_threads=..., *, inputs=..., targets=..., raise_on_failure=...)",
        EXECUTE_DOC,
        ["self", "parallel", "max_threads", "inputs", "targets", "raise_on_failure"],
    ),
    (corvane.Dag.to_mermaid, "($self)", TO_MERMAID_DOC, ["self"]),
]


def make_dag():
    return corvane.Graph().build()


def test_module_attributes():
    assert corvane.__name__ == "corvane"
    assert corvane.__doc__ == "Initialize the Python module"
    assert corvane.__all__ == ["Graph", "Dag"]
    assert all(type(name) is str for name in corvane.__all__)
    public = {name for name in dir(corvane) if not name.startswith("_")}
    assert {"Graph", "Dag", "PanicException"} <= public


def test_panic_exception_derives_directly_from_base_exception():
    panic = corvane.PanicException
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "PanicException" not in corvane.__all__
    assert panic("a scoped thread panicked").args == ("a scoped thread panicked",)


@pytest.mark.parametrize(
    "cls, name, doc",
    [
        (corvane.Graph, "Graph", "Python wrapper for Graph builder"),
        (corvane.Dag, "Dag", "Python wrapper for DAG executor"),
    ],
)
def test_class_identity(cls, name, doc):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "corvane"
    assert cls.__doc__ == doc
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("method, signature, doc, parameters", METHODS)
def test_method_docstrings_and_signatures(method, signature, doc, parameters):
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    assert list(inspect.signature(method).parameters) == parameters


@pytest.mark.parametrize("cls", [corvane.Graph, corvane.Dag])
def test_class_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("make", [corvane.Graph, make_dag])
def test_instances_take_no_attributes_and_no_weak_references(make):
    instance = make()
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize("make", [corvane.Graph, make_dag])
def test_representation_comparison_and_hash_are_those_of_object(make):
    first, second = make(), make()
    assert first == first and first != second
    assert hash(first) == object.__hash__(first)
    assert repr(first).startswith(f"<corvane.{type(first).__name__} object at ")


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"nodes": 1})])
def test_dag_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        corvane.Dag(*args, **kwargs)


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_graph_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        corvane.Graph(*args, **kwargs)


def test_module_is_initialised_once_per_process():
    # A second interpreter of the same process must be refused; the first
    # import in that process keeps working.
    finished = run_python("""
        import corvane
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            raise SystemExit("unsupported")
        interpreter = interpreters.create()
        try:
            interpreters.run_string(interpreter, "import corvane")
        except Exception as error:
            print("refused:", error)
        print(corvane.Graph().build().execute())
    """)
    if finished.stderr == "unsupported\n":
        pytest.skip("this interpreter offers no sub-interpreters to Python code")
    assert finished.returncode == 0, finished.stderr
    refusal = finished.stdout.splitlines()[0]
    assert refusal.startswith("refused:") and "ImportError" in refusal
    assert finished.stdout.endswith("{}\n")
