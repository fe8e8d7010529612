import dataclasses
import pickle

import pytest

import corvane
from corvane._problems import problems_from_native, raise_missing_inputs

MISSING = "but it is not an input and no node that runs before it writes it"


class Calls:
    """Node functions that record their calls and write a value per name."""

    def __init__(self):
        self.made = []

    def __call__(self, label, *names):
        def function(inputs, params):
            self.made.append(label)
            return {name: label for name in names}

        return function


def add(graph, calls, label, reads=(), writes=(), join=False):
    method = graph.join if join else graph.add
    return method(calls(label, *writes), label=label, inputs=list(reads), outputs=list(writes))


def pipeline(calls):
    """load -> split (reads test_size, which nobody writes) -> fit."""
    graph = corvane.Graph()
    add(graph, calls, "load", writes=["rows"])
    add(graph, calls, "split", reads=["rows", "test_size"], writes=["train"])
    add(graph, calls, "fit", reads=["train", "seed"], writes=["model"])
    return graph.build()


def models(calls):
    """A root and two branches side by side, the second reading what the
    first writes, both writing "best"; a join reads both scores."""
    graph = corvane.Graph()
    add(graph, calls, "root", writes=["rows"])
    first, second = corvane.Graph(), corvane.Graph()
    add(first, calls, "svc", reads=["rows"], writes=["svc", "best"])
    add(first, calls, "score svc", reads=["svc"], writes=["svc score"])
    add(second, calls, "forest", reads=["rows", "svc"], writes=["forest", "best"])
    add(second, calls, "score forest", reads=["forest"], writes=["forest score"])
    graph.branch(first)
    graph.branch(second)
    add(graph, calls, "report", reads=["svc score", "forest score"], join=True)
    return graph.build()


def found(problems):
    return [(problem.kind, problem.label, problem.name) for problem in problems]


@pytest.mark.parametrize("parallel", [False, True])
@pytest.mark.parametrize(
    "inputs, missing",
    [
        (lambda: (), [("split", "test_size"), ("fit", "seed")]),
        (lambda: ["seed"], [("split", "test_size")]),
        (lambda: {"test_size": 0.2, "unread": 1}, [("fit", "seed")]),
        (lambda: iter(["test_size", "seed"]), []),
    ],
    ids=["none", "names", "mapping", "iterator"],
)
def test_missing_inputs(parallel, inputs, missing):
    dag = pipeline(Calls())
    problems = dag.check(inputs=inputs(), parallel=parallel)
    assert found(problems) == [("missing input", label, name) for label, name in missing]
    for problem in problems:
        assert isinstance(problem, corvane.Problem)
        assert dag.nodes[problem.node_id].label == problem.label
        node = f"node {problem.node_id} '{problem.label}'"
        assert str(problem) == problem.message == f"{node} reads '{problem.name}', {MISSING}"


def test_branches_and_joins_by_mode():
    dag = models(Calls())
    assert dag.check() == []  # the first branch runs before the second
    problems = dag.check(parallel=True)
    # The race belongs to its first writer, which runs before the reader.
    assert found(problems) == [("race", "svc", "best"), ("missing input", "forest", "svc")]
    svc, forest = (info.id for info in dag.nodes if info.label in ("svc", "forest"))
    race = problems[0]
    assert race.node_id == svc
    assert race.message == (
        f"node {svc} 'svc' and node {forest} 'forest' write 'best' side by side on level 1: "
        "which value is kept depends on timing"
    )
    # A dataflow node sees its ancestors' writes only, in an order that does
    # not depend on timing: no races.
    assert found(dag.check(parallel="dataflow")) == [("missing input", "forest", "svc")]


def test_optional_inputs_of_decorated_nodes_are_never_missing():
    class Decorated:
        def __init__(self):
            self.__corvane_node__ = (self.call, ("x", "y"), ("z",), ("y",))

        def call(self, inputs, params):
            return {"z": inputs.get("y", 0)}

    dag = corvane.Graph().add(Decorated(), label="decorated").build()
    assert found(dag.check()) == [("missing input", "decorated", "x")]


def test_problems_are_immutable_values():
    (problem,) = problems_from_native([("missing input", 3, None, "x", (), 0)])
    assert problem == corvane.Problem("missing input", 3, None, "x", problem.message)
    assert problem.message.startswith("node 3 reads 'x', but")
    with pytest.raises(dataclasses.FrozenInstanceError):
        problem.name = "y"
    assert pickle.loads(pickle.dumps(problem)) == problem


def test_graph_error_lists_every_missing_input():
    problems = problems_from_native(
        [
            ("missing input", 1, "split", "test_size", (), 0),
            ("race", 2, "a", "best", ((2, "a"), (3, None), (4, "c")), 1),
            ("missing input", 5, None, "seed", (), 0),
        ]
    )
    assert problems[1].message.startswith("node 2 'a', node 3 and node 4 'c' write 'best'")
    with pytest.raises(corvane.GraphError) as raised:
        raise_missing_inputs(problems)
    error = raised.value
    assert isinstance(error, ValueError)
    assert error.problems == [problems[0], problems[2]]
    assert str(error).splitlines() == [
        "2 problems in the graph:",
        f"  node 1 'split' reads 'test_size', {MISSING}",
        f"  node 5 reads 'seed', {MISSING}",
    ]
    copied = pickle.loads(pickle.dumps(error))
    assert copied.problems == error.problems and str(copied) == str(error)


@pytest.mark.parametrize("parallel", [False, True])
@pytest.mark.parametrize("detailed", [False, True], ids=["execute", "execute_detailed"])
def test_a_strict_run_raises_before_any_node_runs(parallel, detailed):
    calls = Calls()
    dag = pipeline(calls)
    run = dag.execute_detailed if detailed else dag.execute
    with pytest.raises(corvane.GraphError) as raised:
        run(parallel, inputs={"seed": 1}, raise_on_failure=True)
    assert calls.made == []
    assert raised.value.problems == dag.check(inputs=["seed"], parallel=parallel)
    run(parallel, inputs={"seed": 1, "test_size": 0.2}, raise_on_failure=True)
    assert calls.made == ["load", "split", "fit"]


def test_a_strict_run_checks_only_the_nodes_it_runs():
    calls = Calls()
    dag = pipeline(calls)
    assert dag.execute(targets=["rows"], raise_on_failure=True) == {"rows": "load"}
    with pytest.raises(corvane.GraphError, match="test_size"):
        dag.execute(targets=["train"], raise_on_failure=True)
    assert calls.made == ["load"]


def test_races_do_not_stop_a_strict_run():
    calls = Calls()
    dag = models(calls)
    result = dag.execute(True, inputs={"svc": None}, raise_on_failure=True)
    assert result["best"] in ("svc", "forest")
    assert len(calls.made) == len(dag)
