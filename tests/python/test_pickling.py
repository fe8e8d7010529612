"""Pickled Dags: the same nodes, the same runs; copies are the Dag itself."""

import concurrent.futures
import copy
import multiprocessing
import pickle
import threading

import pytest

import corvane


def load(inputs, params):
    return {"rows": list(range(params.get("n", 3)))}


def total(inputs, params):
    return {"sum": sum(inputs["rows"]) * params.get("scale", 1)}


@corvane.node(returns="largest")
def largest(rows):
    return max(rows)


@corvane.node(returns="report")
def report(sum, largest):
    return f"{sum}/{largest}"


def pipeline():
    graph = corvane.Graph()
    graph.add(load, label="load", outputs=["rows"], params={"n": 4})
    left = corvane.Graph()
    left.add(total, label="total", inputs=["rows"], outputs=[("sum", "sum")], params={"scale": 2})
    right = corvane.Graph()
    right.add(largest, label="largest")
    nested = corvane.Graph()
    nested.add(label="no function")
    right.branch(nested)
    graph.branch(left)
    graph.branch(right)
    graph.join(report, label="report")
    graph.add(total, inputs={"rows": "rows"}, outputs={"sum": "again"})
    return graph.build()


def shapes():
    yield "empty", corvane.Graph().build()
    single = corvane.Graph()
    single.add(label="only")
    yield "one node", single.build()
    yield "joins, branches, params", pipeline()


SHAPES = list(shapes())


@pytest.mark.parametrize("dag", [dag for _, dag in SHAPES], ids=[name for name, _ in SHAPES])
@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_a_round_trip_keeps_nodes_order_picture_and_results(dag, protocol):
    restored = pickle.loads(pickle.dumps(dag, protocol=protocol))
    assert isinstance(restored, corvane.Dag)
    assert restored is not dag
    assert restored.nodes == dag.nodes
    # A function that nodes share stays one object.
    pairs = zip(dag.nodes, restored.nodes, strict=True)
    functions = {(id(mine.function), id(theirs.function)) for mine, theirs in pairs}
    assert len({mine for mine, _ in functions}) == len(functions) == len({r for _, r in functions})
    assert [list(node.inputs.items()) for node in restored.nodes] == [
        list(node.inputs.items()) for node in dag.nodes
    ]
    assert restored.execution_order == dag.execution_order
    assert restored.levels == dag.levels
    assert restored.to_mermaid() == dag.to_mermaid()
    for parallel in (False, True):
        expected = dag.execute(parallel)
        got = restored.execute(parallel)
        assert got == expected
        if not parallel:
            assert list(got) == list(expected)


def test_a_pickled_dag_runs_in_another_process():
    context = multiprocessing.get_context("spawn")
    dag = pipeline()
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        assert pool.submit(corvane.Dag.execute, dag).result() == dag.execute()


def local_function():
    def local(inputs, params):
        return {}

    return local


@pytest.mark.parametrize(
    "label, named",
    [("the culprit", "corvane node 1 'the culprit'"), (None, "corvane node 1")],
    ids=["labelled", "unlabelled"],
)
@pytest.mark.parametrize(
    "function",
    [lambda i, p: {}, local_function(), corvane.node(lambda x: x), threading.Lock()],
    ids=["lambda", "local function", "local decorated", "lock"],
)
def test_an_unpicklable_function_is_reported_with_its_node(function, label, named):
    graph = corvane.Graph()
    graph.add(load, label="load")
    graph.add(function, label=label)
    graph.add(function, label="a second user")
    with pytest.raises(pickle.PicklingError, match=f"^{named}: cannot pickle") as raised:
        pickle.dumps(graph.build())
    assert raised.value.__cause__ is not None


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy])
def test_copies_are_the_dag_itself(duplicate):
    dag = pipeline()
    assert duplicate(dag) is dag
    assert duplicate({"dag": dag})["dag"] is dag
