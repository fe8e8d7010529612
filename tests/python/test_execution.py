import threading
import time

import pytest

import corvane
from conftest import MODES, ConcurrencyProbe, chain, fan_out, node


def const(**values):
    return lambda inputs, params: dict(values)


def outputs(*names):
    return {name: name for name in names}


@pytest.mark.parametrize("mode", MODES)
def test_empty_dag_gives_an_empty_dict(mode):
    assert corvane.Graph().build().execute(**mode) == {}


@pytest.mark.parametrize("mode", MODES)
def test_later_nodes_see_earlier_outputs_and_values_keep_identity(mode):
    data = object()
    dag = chain(
        node(lambda i, p: {"x": data}, outputs={"x": "data"}),
        node(lambda i, p: {"y": [i["d"]]}, inputs={"data": "d"}, outputs={"y": "model"}),
        node(
            lambda i, p: {"same": i["m"][0] is data}, inputs={"model": "m"}, outputs=outputs("same")
        ),
    ).build()
    result = dag.execute(**mode)
    assert result["data"] is data
    assert result["model"][0] is data
    assert result["same"] is True


@pytest.mark.parametrize("mode", MODES)
def test_runs_are_independent(mode):
    dag = chain(node(lambda i, p: {"x": []}, outputs=outputs("x"))).build()
    first, second = dag.execute(**mode), dag.execute(**mode)
    assert first == second == {"x": []}
    assert first is not second and first["x"] is not second["x"]


@pytest.mark.parametrize(
    "mode, seen",
    [
        ({}, "new"),
        *(({"parallel": True, "max_threads": cap}, "old") for cap in (None, 1, 5)),
        ({"parallel": "dataflow"}, "old"),
    ],
    ids=["sequential", "parallel", "parallel-1", "parallel-5", "dataflow"],
)
def test_a_node_sees_a_sibling_that_finished_first_in_sequential_runs_only(mode, seen):
    # After a root writing x, a level of a writer and a reader that waits for
    # it. Run one after another, the reader sees the writer; run in parallel,
    # both read the context of the level's start; in a dataflow run, what
    # their ancestors wrote. A join sees the writer in every mode.
    written = threading.Event()

    def write(i, p):
        written.set()
        return {"x": "new"}

    def read(i, p):
        assert written.wait(10)
        return {"seen": i.get("x")}

    graph = chain(node(const(x="old"), outputs=outputs("x")))
    graph.branch(chain(node(write, outputs=outputs("x"))))
    graph.branch(chain(node(read, inputs=outputs("x"), outputs=outputs("seen"))))
    graph.join(lambda i, p: {"joined": i["x"]}, inputs=outputs("x"), outputs=outputs("joined"))
    assert graph.build().execute(**mode) == {"x": "new", "seen": seen, "joined": "new"}


def test_level_of_five_runs_in_waves_of_max_threads():
    probe = ConcurrencyProbe(work=0.01)
    names = ["a", "b", "c", "d", "e"]
    dag = fan_out(node(), *[[probe.node(name)] for name in names])
    assert dag.execute(parallel=True, max_threads=2) == outputs(*names)
    assert probe.most <= 2
    # Every wave is joined before the next starts: before the k-th start,
    # all nodes of the earlier waves have ended.
    ended = 0
    starts = 0
    for event, _ in probe.log:
        if event == "end":
            ended += 1
        else:
            assert ended >= 2 * (starts // 2)
            starts += 1
    assert starts == 5


def test_without_a_cap_the_whole_level_runs_at_once():
    barrier = threading.Barrier(4, timeout=30)

    def meet(name):
        def run(i, p):
            barrier.wait()
            return {name: True}

        return [node(run, outputs=outputs(name))]

    dag = fan_out(node(), *[meet(name) for name in "abcd"])
    assert dag.execute(parallel=True) == dict.fromkeys("abcd", True)
    # A cap at least as large as the level is one wave too.
    assert dag.execute(parallel=True, max_threads=4) == dict.fromkeys("abcd", True)


@pytest.mark.parametrize(
    "args, kwargs, on_caller, on_workers, most",
    [
        # A sequential run ignores the cap.
        ((), {"max_threads": 3}, ["root", "a", "a2", "b", "c"], [], 1),
        # Single-node levels run on the calling thread, wider ones on workers.
        ((True,), {}, ["root", "a2"], ["a", "b", "c"], None),
        ((), {"parallel": True, "max_threads": 0}, [], ["a", "b", "c"], 1),
        ((), {"parallel": True, "max_threads": 1}, [], ["a", "b", "c"], 1),
        ((True, 1), {}, [], ["a", "b", "c"], 1),
    ],
    ids=["sequential", "parallel", "cap-0", "cap-1", "by-position"],
)
def test_where_nodes_run_and_how_many_at_once(args, kwargs, on_caller, on_workers, most):
    probe = ConcurrencyProbe(work=0.005)
    # Levels: [root], [a, b, c], [a2].
    dag = fan_out(
        probe.node("root"),
        [probe.node("a"), probe.node("a2")],
        [probe.node("b")],
        [probe.node("c")],
    )
    caller = threading.get_ident()
    assert dag.execute(*args, **kwargs) == outputs("root", "a", "a2", "b", "c")
    assert [name for name in on_caller if probe.where[name] != caller] == []
    assert [name for name in on_workers if probe.where[name] == caller] == []
    assert most is None or probe.most == most


def test_every_node_of_a_level_is_called_once_per_execution():
    calls = []
    lock = threading.Lock()

    def count(name):
        def run(i, p):
            with lock:
                calls.append(name)
            return {}

        return [node(run)]

    dag = fan_out(node(), *[count(name) for name in "abcdef"])
    for _ in range(5):
        dag.execute(parallel=True, max_threads=4)
    assert sorted(calls) == sorted("abcdef" * 5)


def run_in_thread(function, timeout=30):
    """Runs `function` on a daemon thread; a hang becomes a failure."""
    outcome = {}
    thread = threading.Thread(target=lambda: outcome.update(value=function()), daemon=True)
    thread.start()
    thread.join(timeout)
    assert not thread.is_alive(), "the run did not finish"
    return outcome["value"]


@pytest.mark.parametrize("mode", MODES)
def test_lock_is_released_while_the_run_goes_on(mode):
    # Workers and the caller's own nodes take the lock for every call; a run
    # that kept it would deadlock its workers. Meanwhile a plain Python
    # thread keeps making progress, which a node waits to see.
    progressed = threading.Event()
    stop = threading.Event()

    def spin():
        count = 0
        while not stop.is_set():
            count += 1
            if count > 1000:
                progressed.set()

    def wait_for_other_thread(i, p):
        return {"ok": progressed.wait(timeout=30)}

    dag = fan_out(
        node(),
        [node(wait_for_other_thread, outputs=outputs("ok"))],
        [node(lambda i, p: {"busy": sum(range(10000))}, outputs=outputs("busy"))],
    )
    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        assert run_in_thread(lambda: dag.execute(**mode))["ok"] is True
    finally:
        stop.set()
        spinner.join()


def test_another_thread_can_use_the_dag_while_a_node_sleeps():
    started = threading.Event()
    dag_holder = []

    def sleepy(i, p):
        started.set()
        time.sleep(0.2)
        return {"slept": True}

    dag = fan_out(node(), [node(sleepy, outputs=outputs("slept"))], [node()])
    dag_holder.append(dag)
    seen = {}

    def other():
        started.wait(timeout=30)
        seen["mermaid"] = dag.to_mermaid()
        seen["result"] = dag.execute()

    worker = threading.Thread(target=other)
    worker.start()
    assert dag.execute(parallel=True) == {"slept": True}
    worker.join(timeout=30)
    assert seen["result"] == {"slept": True}
    assert seen["mermaid"].startswith("graph TD\n")


def test_node_may_execute_another_dag():
    inner = chain(node(const(v=1), outputs=outputs("v"))).build()
    outer = fan_out(
        node(lambda i, p: {"r": inner.execute(parallel=True)}, outputs=outputs("r")),
        [node(lambda i, p: {"a": inner.execute()}, outputs=outputs("a"))],
        [node(lambda i, p: {"b": inner.execute()}, outputs=outputs("b"))],
    )
    assert outer.execute(parallel=True) == {"r": {"v": 1}, "a": {"v": 1}, "b": {"v": 1}}
