"""Reference counts and memory stay level over many runs: every count taken
on a worker or without the interpreter lock is given back."""

import gc
import sys
import weakref

import pytest

import corvane
from conftest import fan_out, node, replaced_stderr

MODES = [
    pytest.param({}, id="sequential"),
    pytest.param({"parallel": True}, id="parallel"),
    pytest.param({"parallel": True, "max_threads": 1}, id="parallel-capped"),
    pytest.param({"parallel": "dataflow"}, id="dataflow"),
]


class Payload:
    pass


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.parametrize("mode", MODES)
def test_counts_return_to_their_baseline_after_many_runs(mode):
    payload = Payload()
    constant = ("shared", "tuple")

    def produce(inputs, params):
        return {"x": payload, "c": constant}

    def consume(inputs, params):
        return {"y": [inputs["x"]], "z": inputs["c"]}

    def failing(inputs, params):
        raise ValueError(inputs["x"])

    dag = fan_out(
        node(produce, outputs={"x": "x", "c": "c"}),
        [node(consume, inputs={"x": "x", "c": "c"}, outputs={"y": "y1", "z": "z"})],
        [node(consume, inputs={"x": "x", "c": "c"}, outputs={"y": "y2"})],
        [node(failing, inputs={"x": "x"})],
        [node(lambda i, p: None, inputs={"x": "x"})],
    )
    tracked = [payload, constant, produce, consume, failing]
    baseline = [sys.getrefcount(obj) for obj in tracked]
    with replaced_stderr():
        for _ in range(200):
            result = dag.execute(**mode)
            assert result["x"] is payload and result["y1"][0] is payload
            del result
    gc.collect()
    assert [sys.getrefcount(obj) for obj in tracked] == baseline


@pytest.mark.parametrize("mode", MODES)
def test_stopped_runs_give_back_every_count(mode):
    payload = Payload()
    interrupt = KeyboardInterrupt()

    def stop(inputs, params):
        raise interrupt

    dag = fan_out(
        node(lambda i, p: {"x": payload}, outputs={"x": "x"}),
        [node(stop, inputs={"x": "x"})],
        [node(lambda i, p: {}, inputs={"x": "x"})],
    )
    baseline = sys.getrefcount(payload), sys.getrefcount(interrupt), sys.getrefcount(stop)
    for _ in range(100):
        with pytest.raises(KeyboardInterrupt):
            dag.execute(**mode)
    interrupt.__traceback__ = None
    assert (sys.getrefcount(payload), sys.getrefcount(interrupt), sys.getrefcount(stop)) == baseline


def test_objects_are_freed_once_the_result_and_the_dag_are_gone():
    made = []

    def produce(inputs, params):
        value = Payload()
        made.append(weakref.ref(value))
        return {"x": value}

    dag = fan_out(
        node(produce, outputs={"x": "x"}),
        [node(lambda i, p: {"y": i["x"]}, inputs={"x": "x"}, outputs={"y": "y"})],
        [node(lambda i, p: {}, inputs={"x": "x"})],
    )
    result = dag.execute(parallel=True)
    assert made[0]() is result["x"] is result["y"]
    del result
    assert made[0]() is None
    function = weakref.ref(produce)
    del produce
    assert function() is not None  # the Dag keeps its callables alive
    del dag
    assert function() is None


def test_graphs_release_their_callables():
    def work(inputs, params):
        return {}

    probe = weakref.ref(work)
    graph = corvane.Graph()
    graph.add(work)
    subgraph = corvane.Graph()
    subgraph.add(work)
    graph.branch(subgraph)
    del work, subgraph
    assert probe() is not None
    del graph
    assert probe() is None


def test_repeated_build_and_execute_does_not_grow_memory():
    label = "n" * 20_000  # makes every leaked node cost real memory

    def cycle():
        blob = bytearray(50_000)
        graph = corvane.Graph()
        graph.add(
            lambda i, p: {"blob": blob, "n": 1}, label=label, outputs={"blob": "blob", "n": "n"}
        )
        for _ in range(3):
            branch = corvane.Graph()
            branch.add(
                lambda i, p: {"m": i["n"]}, label=label, inputs={"n": "n"}, outputs={"m": "m"}
            )
            graph.branch(branch)
        dag = graph.build()
        dag.to_mermaid()
        dag.execute()
        dag.execute(parallel=True, max_threads=2)

    for _ in range(200):
        cycle()
    gc.collect()
    before = resident_bytes()
    for _ in range(1000):
        cycle()
    gc.collect()
    # A leaked graph would cost ~80 kB and a leaked blob 50 kB per cycle.
    assert resident_bytes() - before < 16 * 2**20


class Pipeline:
    """Holds a graph or DAG whose nodes are its own methods: a reference cycle."""

    def __init__(self, built):
        graph = corvane.Graph()
        graph.add(self.step, outputs={"out": "out"})
        branch = corvane.Graph()
        branch.add(self.step)
        graph.branch(branch)
        self.graph = graph.build() if built else graph

    def step(self, inputs, params):
        return {"out": self}


@pytest.mark.parametrize("built", [False, True], ids=["graph", "dag"])
def test_cycles_through_node_functions_are_collected(built):
    pipeline = Pipeline(built)
    if built:
        assert pipeline.graph.execute(parallel=True)["out"] is pipeline
    probe = weakref.ref(pipeline)
    del pipeline
    gc.collect()
    assert probe() is None


def test_a_dag_alone_in_a_cycle_is_collected():
    holder = Payload()
    graph = corvane.Graph()
    graph.add(lambda inputs, params, holder=holder: {"dag": holder})
    holder.dag = graph.build()
    probe = weakref.ref(holder)
    del holder, graph
    gc.collect()
    assert probe() is None


@pytest.mark.parametrize("mode", MODES)
def test_overwritten_values_are_freed_during_the_run(mode):
    made = []
    seen_alive = []

    def produce(inputs, params):
        value = Payload()
        made.append(weakref.ref(value))
        return {"x": value}

    def check(inputs, params):
        seen_alive.append(made[0]() is not None)
        return {}

    graph = corvane.Graph()
    graph.add(produce, outputs={"x": "x"})
    graph.add(produce, outputs={"x": "x"})
    graph.add(check)
    result = graph.build().execute(**mode)
    assert seen_alive == [False]
    assert result["x"] is made[1]()
