"""What a run is given (inputs, targets, raise_on_failure) and what a node
is given (params), and the orders both come back in."""

import gc
import os
import sys
import threading
import types
from collections import OrderedDict
from collections.abc import Mapping

import pytest

import corvane
from conftest import MODES, replaced_stderr, run_python


class Frozen(Mapping):
    def __init__(self, **entries):
        self._entries = entries

    def __getitem__(self, key):
        return self._entries[key]

    def __iter__(self):
        return iter(self._entries)

    def __len__(self):
        return len(self._entries)


def echo(inputs, params):
    return {"seen": dict(inputs), "params": params}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "make", [dict, OrderedDict, Frozen, lambda **e: types.MappingProxyType(e)], ids=repr
)
def test_inputs_start_the_context_with_those_very_objects(make, mode):
    value = object()
    graph = corvane.Graph().add(echo, inputs=["value", "other"], outputs=["seen"])
    result = graph.build().execute(inputs=make(value=value, other=1), **mode)
    assert list(result) == ["value", "other", "seen"]
    assert result["value"] is value and result["seen"]["value"] is value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def execute(*args, **kwargs):
    return lambda dag: dag.execute(*args, **kwargs)


PARALLEL = "^argument 'parallel': expected False, True or 'dataflow', got "
NO_ARGUMENT_NAMED = "^(?!argument)"


@pytest.mark.parametrize(
    "call",
    [
        execute(parallel=False),
        execute(parallel=True),
        execute(parallel="dataflow"),
        execute(max_threads=None),
        execute(max_threads=0),
        execute(max_threads=2**64 - 1),
        execute(max_threads=Index(3)),
        execute(max_threads=True),
    ],
)
def test_accepted_run_arguments(call):
    assert call(corvane.Graph().add(lambda i, p: {"x": 1}, outputs=["x"]).build()) == {"x": 1}


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            execute(inputs=[("a", 1)]),
            TypeError,
            "inputs must be a mapping from str to objects, got list",
        ),
        (execute(inputs={1: "a"}), TypeError, "inputs keys must be str, got int"),
        (execute(inputs={"a": 1, b"b": 2}), TypeError, "inputs keys must be str, got bytes"),
        (execute(targets=["nowhere"]), ValueError, "unknown target 'nowhere'"),
        (execute(targets=[1]), TypeError, "argument 'targets': expected str items, got int"),
        (
            execute(targets="y"),
            TypeError,
            "argument 'targets': expected an iterable of str, got a str",
        ),
        *(
            (execute(parallel=value), TypeError, PARALLEL)
            for value in (1, None, "yes", "Dataflow", "levels", "DATAFLOW")
        ),
        (execute(max_threads=2.0), TypeError, "^argument 'max_threads': "),
        (execute(max_threads="2"), TypeError, "^argument 'max_threads': "),
        (execute(max_threads=-1), OverflowError, NO_ARGUMENT_NAMED),
        (execute(max_threads=2**64), OverflowError, NO_ARGUMENT_NAMED),
        (execute(max_threads=Index(-5)), OverflowError, NO_ARGUMENT_NAMED),
        # Calls that do not fit the signature.
        (execute(True, None, 3), TypeError, None),
        (execute(threads=2), TypeError, None),
        (execute(True, parallel=True), TypeError, None),
        (lambda dag: dag.to_mermaid(1), TypeError, None),
    ],
)
@pytest.mark.parametrize("size", [0, 1], ids=["empty", "one-node"])
def test_bad_run_arguments_raise_before_anything_runs(call, error, message, size):
    ran = []
    graph = corvane.Graph()
    for _ in range(size):
        graph.add(lambda i, p: ran.append(1) or {"y": 1}, outputs=["y"])
    with pytest.raises(error, match=message) as raised:
        call(graph.build())
    assert type(raised.value) is error
    assert ran == []


def test_one_dag_runs_with_different_inputs_from_several_threads():
    dag = corvane.Graph().add(lambda i, p: {"y": i["x"] * 2}, inputs=["x"], outputs=["y"]).build()
    results = {}

    def run(x):
        results[x] = [dag.execute(inputs={"x": x})["y"] for _ in range(200)]

    threads = [threading.Thread(target=run, args=(x,)) for x in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {x: [2 * x] * 200 for x in range(8)}


def test_params_reach_every_call_as_a_fresh_dict_of_the_same_objects():
    shared = []
    given = {"b": shared, "a": 1}

    def mutate(inputs, params):
        assert list(params) == ["b", "a"] and params["b"] is shared
        params["a"] = "changed"
        return {}

    graph = corvane.Graph().add(mutate, params=given)
    given["a"] = "after add"
    dag = graph.build()
    for mode in ({}, {"parallel": True}):
        dag.execute(raise_on_failure=True, **mode)
    info = dag.nodes[0]
    assert info.params == {"b": shared, "a": 1}
    assert info.params is not dag.nodes[0].params


@pytest.mark.parametrize(
    "params, error",
    [([("a", 1)], "params must be a mapping"), ({1: "a"}, "params keys must be str")],
)
def test_bad_params_add_no_node(params, error):
    graph = corvane.Graph()
    with pytest.raises(TypeError, match=error):
        graph.add(echo, params=params)
    assert len(graph.build()) == 0


def test_targets_run_only_what_they_need():
    ran = []

    def step(name):
        return lambda i, p: ran.append(name) or {name: name}

    graph = corvane.Graph().add(step("a"), outputs=["a"])
    graph.branch(corvane.Graph().add(step("side"), outputs=["side"]))
    graph.add(step("b"), inputs=["a"], outputs=["b"]).add(step("log"))
    dag = graph.build()
    assert dag.execute(targets=["b"]) == {"b": "b"} and ran == ["a", "b"]
    assert dag.execute(targets=[]) == {}
    assert dag.execute(inputs={"b": 0, "c": 1}, targets=["c"]) == {"c": 1}
    detailed = dag.execute_detailed(targets=["side"])
    assert detailed.context == {"side": "side"} and list(detailed.timings) == [3]


def fail(inputs, params):
    raise ValueError("bad value")


@pytest.mark.parametrize("detailed", [False, True])
@pytest.mark.parametrize("mode", MODES)
def test_strict_runs_stop_at_the_failing_node_and_raise_its_exception(mode, detailed):
    started = []

    def record(name, function=None):
        return lambda i, p: started.append(name) or (function or (lambda: {}))()

    graph = corvane.Graph().add(record("load"))
    graph.branch(corvane.Graph().add(fail, label="train svc"))
    graph.branch(corvane.Graph().add(record("sleep", lambda: threading.Event().wait(0.05) or {})))
    graph.join(record("after"))
    dag = graph.build()
    run = dag.execute_detailed if detailed else dag.execute
    for _ in range(2):
        started.clear()
        with replaced_stderr() as stderr, pytest.raises(ValueError, match="bad value") as raised:
            run(raise_on_failure=True, **mode)
        assert raised.value.__notes__ == ["raised by node 2 'train svc'"]
        assert "after" not in started and stderr.text == ""


@pytest.mark.parametrize("mode", MODES)
def test_strict_runs_raise_a_non_dict_result_as_type_error(mode):
    dag = corvane.Graph().add(lambda i, p: [1], label="lister").build()
    message = "Python function did not return a dict: node 0 'lister' returned list"
    with pytest.raises(TypeError, match=f"^{message}$"):
        dag.execute(raise_on_failure=True, **mode)


def test_several_failures_of_one_level_raise_the_first_and_list_the_others():
    def slow_fail(inputs, params):
        threading.Event().wait(0.1)
        raise KeyError("later")

    graph = corvane.Graph().add()
    graph.branch(corvane.Graph().add(slow_fail, label="slow"))
    graph.branch(corvane.Graph().add(fail, label="quick"))
    with pytest.raises(ValueError) as raised:
        graph.build().execute(parallel=True, raise_on_failure=True)
    assert raised.value.__notes__ == [
        "raised by node 2 'quick'",
        "other nodes of its level that failed: node 1 'slow'",
    ]


@pytest.mark.parametrize("mode", MODES)
def test_strict_runs_that_raise_leak_nothing(mode):
    payload = object()

    def produce(inputs, params):
        return {"x": payload}

    def failing(inputs, params):
        raise ValueError(inputs["x"])

    graph = corvane.Graph().add(produce, outputs=["x"])
    graph.branch(corvane.Graph().add(failing, inputs=["x"]))
    graph.branch(corvane.Graph().add(echo, inputs=["x"], outputs=["seen"]))
    dag = graph.build()
    tracked = [payload, produce, failing]
    baseline = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(100):
        with pytest.raises(ValueError) as raised:
            dag.execute(raise_on_failure=True, **mode)
        assert raised.value.args == (payload,)
        del raised
    gc.collect()
    assert [sys.getrefcount(obj) for obj in tracked] == baseline


def test_orders_are_the_same_in_every_process():
    program = """
        import corvane
        seen = []
        graph = corvane.Graph().add(lambda i, p: {k: k for k in "edcba"}, outputs=[*"abcde"])
        graph.add(lambda i, p: seen.append(list(i)) or {},
                  inputs=[("d", "w"), ("a", "v"), ("e", "z"), "b", "c"])
        dag = graph.build()
        print(list(dag.execute()), seen, dag.to_mermaid())
    """
    texts = {
        run_python(program, env={**os.environ, "PYTHONHASHSEED": str(seed)}).stdout
        for seed in (1, 2, 3)
    }
    assert len(texts) == 1
    assert "['a', 'b', 'c', 'd', 'e'] [['w', 'v', 'z', 'b', 'c']]" in texts.pop()
