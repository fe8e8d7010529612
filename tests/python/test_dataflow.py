"""Dataflow runs: each node starts once its dependencies have finished and
sees the inputs and its ancestors' outputs only."""

import threading
import time

import pytest

import corvane
from conftest import ConcurrencyProbe

DATAFLOW = {"parallel": "dataflow"}
WAIT = 10  # seconds: a bound on every event wait, so a broken schedule fails instead of hanging


def names(*listed):
    return {name: name for name in listed}


def add(graph, function, reads=(), writes=()):
    return graph.add(function, inputs=names(*reads), outputs=names(*writes))


def writer(**values):
    """A one-node graph writing `values`."""
    return add(corvane.Graph(), lambda inputs, params: dict(values), writes=values)


def reader(name, into, graph=None):
    """`graph` (by default a new one) with a node copying `name` (or "unseen")
    to `into` added."""
    function = lambda inputs, params: {into: inputs.get(name, "unseen")}  # noqa: E731
    return add(graph or corvane.Graph(), function, reads=[name], writes=[into])


def branches(*graphs, root=None):
    graph = corvane.Graph().add(root or (lambda inputs, params: {}))
    for branch in graphs:
        graph.branch(branch)
    return graph


# --- What a node sees ----------------------------------------------------------


@pytest.mark.parametrize(
    "parallel, strict, seen",
    [
        (True, False, "a's x"),
        ("dataflow", False, "unseen"),
        (True, True, "a's x"),
        ("dataflow", True, None),
    ],
)
def test_a_node_reading_a_cousin_sees_it_by_level_but_not_by_ancestry(parallel, strict, seen):
    # Branch a writes x on level 1; branch b reads x on level 2. A level run
    # shows it to b; a dataflow run does not (a is not b's ancestor), and a
    # strict dataflow run refuses to start.
    dag = branches(writer(x="a's x"), reader("x", "seen", writer())).build()
    if seen is None:
        with pytest.raises(corvane.GraphError):
            dag.execute(parallel=parallel, raise_on_failure=strict)
    else:
        assert dag.execute(parallel=parallel, raise_on_failure=strict)["seen"] == seen


def test_targets_leave_out_writers_the_reader_cannot_see():
    calls = []

    def sibling(inputs, params):
        calls.append("sibling")
        return {"x": "sibling"}

    graph = writer(x="root")
    graph.branch(add(corvane.Graph(), sibling, writes=["x"]))
    graph.branch(reader("x", "y"))
    dag = graph.build()
    assert dag.execute(targets=["y"], **DATAFLOW) == {"y": "root"}
    assert calls == []


# --- Where nodes run ---------------------------------------------------------------
# (When nodes start, and caps, are the scheduler's alone: its own tests cover
# them.)


def test_each_branch_stays_on_the_thread_of_its_first_node():
    probe = ConcurrencyProbe(work=0.01)
    run = probe.function
    graph = branches(
        corvane.Graph().add(run("a1")).add(run("a2")).add(run("a3")),
        corvane.Graph().add(run("b1")).add(run("b2")).add(run("b3")),
        root=run("root"),
    )
    result = graph.build().execute_detailed(**DATAFLOW)
    threads = probe.where
    assert threads["root"] == threading.get_ident()
    assert threads["a1"] == threads["a2"] == threads["a3"]
    assert threads["b1"] == threads["b2"] == threads["b3"]
    assert threads["a1"] != threads["b1"]
    assert sorted(result.threads.values()) == sorted(threads.values())


# --- Stops ----------------------------------------------------------------------


def stopping_graph(stop, log, sibling_ended):
    """A node that stops the run while a sibling is running; both have
    dependents that must not start."""
    sibling_started = threading.Event()

    def stopper(inputs, params):
        log.append("stopper")
        assert sibling_started.wait(WAIT)
        sibling_started.clear()
        stop()
        return {}

    def sibling(inputs, params):
        sibling_started.set()
        time.sleep(0.03)
        log.append("sibling")
        sibling_ended.set()
        return {}

    graph = branches(
        corvane.Graph().add(stopper).add(lambda i, p: log.append("after stopper") or {}),
        corvane.Graph().add(sibling).add(lambda i, p: log.append("after sibling") or {}),
    )
    return graph.build()


def interrupt():
    raise KeyboardInterrupt


def bad_value():
    raise ValueError("bad value")


@pytest.mark.parametrize(
    "stop, error, strict",
    [(interrupt, KeyboardInterrupt, False), (bad_value, ValueError, True)],
    ids=["interrupt", "strict-failure"],
)
def test_a_stop_lets_running_nodes_finish_and_starts_nothing_else(stop, error, strict):
    log = []
    sibling_ended = threading.Event()
    dag = stopping_graph(stop, log, sibling_ended)
    for _ in range(2):
        log.clear()
        sibling_ended.clear()
        with pytest.raises(error):
            dag.execute(raise_on_failure=strict, **DATAFLOW)
        # An interrupt returns at once; the sibling may end in the background.
        assert sibling_ended.wait(WAIT)
        time.sleep(0.05)
        assert sorted(log) == ["sibling", "stopper"]
    # The Dag runs again afterwards.
    assert writer(x=1).build().execute(**DATAFLOW) == {"x": 1}


# --- Nested and concurrent runs ---------------------------------------------------


def test_nested_and_concurrent_runs_on_one_dag():
    inner = add(corvane.Graph(), lambda i, p: {"v": i["v"]}, ["v"], ["v"])
    inner.branch(add(corvane.Graph(), lambda i, p: {"a": i["v"] + 1}, ["v"], ["a"]))
    inner.branch(add(corvane.Graph(), lambda i, p: {"b": i["v"] * 2}, ["v"], ["b"]))
    inner.join(lambda i, p: {"sum": i["a"] + i["b"]}, inputs=names("a", "b"), outputs=names("sum"))
    inner_dag = inner.build()

    def nested(inputs, params):
        return {"got": inner_dag.execute(inputs={"v": inputs["v"]}, **DATAFLOW)["sum"]}

    outer = branches(
        corvane.Graph().add(nested, inputs=names("v"), outputs={"got": "first"}),
        corvane.Graph().add(nested, inputs=names("v"), outputs={"got": "second"}),
    ).build()
    results = {}

    def call(value):
        results[value] = outer.execute(inputs={"v": value}, **DATAFLOW)

    callers = [threading.Thread(target=call, args=(value,)) for value in range(6)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()
    assert {value: (c["first"], c["second"]) for value, c in results.items()} == {
        value: (3 * value + 1, 3 * value + 1) for value in range(6)
    }
