"""Parallel runs that are interrupted, that meet the ceiling on workers, or
that start while the interpreter shuts down. Each scenario runs in a fresh
interpreter with a time limit, so a hang or a crash fails the test instead
of the suite."""

import textwrap

import pytest

from conftest import CHILD_PRELUDE, run_python

PRELUDE = (
    CHILD_PRELUDE
    + """
class PeakThreads:
    def __enter__(self):
        self.peak, self.done = 0, threading.Event()
        def watch():
            while not self.done.wait(0.002):
                self.peak = max(self.peak, threads())
        self.watcher = threading.Thread(target=watch)
        self.watcher.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.watcher.join()

def interrupt_after(seconds):
    \"\"\"Sends this process SIGINT after `seconds`; the list returned gets the
    time it was sent.\"\"\"
    sent = []
    def send():
        time.sleep(seconds)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=send).start()
    return sent

def chains(function, count, length):
    \"\"\"A seed node, `count` branches of `length` nodes passing v along, a join.\"\"\"
    graph = corvane.Graph().add(lambda i, p: {"v": 0}, outputs={"v": "v"})
    for _ in range(count):
        branch = corvane.Graph()
        for _ in range(length):
            branch.add(function, inputs={"v": "v"}, outputs={"v": "v"})
        graph.branch(branch)
    return graph.join(function, inputs={"v": "v"}, outputs={"v": "v"}).build()
"""
)


def run_scenario(body, timeout=120):
    done = run_python(PRELUDE + textwrap.dedent(body), timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Fatal Python error" not in done.stderr
    return done


WORK = {
    "sleeping": "time.sleep(1)",
    "busy": "end = time.perf_counter() + 1\n        while time.perf_counter() < end: pass",
}

# How each run builds `dag` from `slow`, the run's arguments, and how many
# nodes begin before the interrupt (None: any number).
RUNS = {
    "whole level": ("dag = level(*[slow] * 6)", "True", None),
    "max_threads 2": ("dag = level(*[slow] * 6)", "True, 2", None),
    "nested": (
        "inner = level(*[slow] * 4); "
        "dag = level(*[lambda i, p: {'out': inner.execute(True)['out0']}] * 4)",
        "True",
        None,
    ),
    # The first node of each branch begins; the branches' later nodes wait.
    "dataflow": ("dag = chains(slow, 4, 3)", "'dataflow', targets=['v']", 4),
}


@pytest.mark.parametrize("work", list(WORK), ids=list(WORK))
@pytest.mark.parametrize("run", RUNS.values(), ids=list(RUNS))
def test_ctrl_c_during_a_parallel_run_raises_at_once_and_its_nodes_end_in_the_background(work, run):
    build, arguments, begin = run
    if work == "busy":
        begin = None  # nodes that keep the interpreter lock may delay the others' start
    done = run_scenario(
        f"""
    starts = []
    def slow(i, p):
        starts.append(time.perf_counter())
        {WORK[work]}
        return {{"out": 1, "v": 1}}

    {build}
    sent = interrupt_after(0.3)
    try:
        dag.execute({arguments})
        raise AssertionError("the run was not interrupted")
    except KeyboardInterrupt:
        waited = time.perf_counter() - sent[0]
    began = len(starts)
    del dag
    # Long enough for every node that had begun to end in the background.
    time.sleep(1.5)
    assert waited < 0.5, waited
    assert len(starts) == began, (began, starts)
    assert {begin} in (None, began), (began, starts)

    # Parallel runs go on as before, with and without a cap.
    fast = level(*[lambda i, p: {{"out": 2}}] * 8)
    for cap in (None, 2):
        assert fast.execute(True, cap) == {{"seed": 1, **{{f"out{{n}}": 2 for n in range(8)}}}}
    print("done")
    """,
        timeout=60,
    )
    assert done.stdout == "done\n"


def test_interrupted_run_keeps_what_its_nodes_use_and_exit_right_after_is_clean():
    done = run_scenario("""
    payload = object()
    baseline = sys.getrefcount(payload)
    finished = []
    def slow(i, p):
        time.sleep(0.3)
        finished.append(payload)
        return {"out": payload}

    class Watch(corvane.Callback):
        def node_finish(self, dag, node_id, seconds, failure):
            pass

    def run_and_drop():
        dag = level(*[slow] * 4)
        interrupt_after(0.1)
        with Watch():
            try:
                dag.execute_detailed(True)
            except KeyboardInterrupt:
                pass
        # The Dag and the run's records go while its nodes still run.
        del dag
        gc.collect()

    run_and_drop()
    time.sleep(0.6)
    assert len(finished) == 4
    finished.clear()
    # Counts given back without the lock are settled on the next entry.
    level(lambda i, p: {}, lambda i, p: {}).execute(True)
    gc.collect()
    assert sys.getrefcount(payload) == baseline, (sys.getrefcount(payload), baseline)

    # Exit while the nodes of an interrupted run are still inside.
    dag = level(*[slow] * 4)
    interrupt_after(0.1)
    try:
        dag.execute(True)
    except KeyboardInterrupt:
        print("interrupted")
    """)
    assert done.stdout == "interrupted\n"


def test_thread_count_stays_under_the_ceiling():
    done = run_scenario("""
    assert corvane.set_max_workers(24) == 512
    dag = level(*[lambda i, p: time.sleep(0.001) or {"out": 1}] * 10000)
    with PeakThreads() as peak:
        before = threads()
        result = dag.execute(True)
    assert len(result) == 10001 and set(result.values()) == {1}
    print(peak.peak - before <= 24, peak.peak - before)
    """)
    assert done.stdout.startswith("True ")


def test_nested_parallel_runs_under_a_small_ceiling_finish():
    done = run_scenario("""
    corvane.set_max_workers(2)
    def nest(depth):
        def run(i, p):
            time.sleep(0.002)
            if depth == 0:
                return {"out": 1}
            inner = level(*[nest(depth - 1)] * 3)
            return {"out": sum(v for k, v in inner.execute(True).items() if k != "seed")}
        return run
    print(sorted(level(*[nest(3)] * 3).execute(True).items()))
    """)
    assert done.stdout == "[('out0', 27), ('out1', 27), ('out2', 27), ('seed', 1)]\n"


def test_max_workers_must_be_positive():
    done = run_scenario("""
    try:
        corvane.set_max_workers(0)
    except ValueError as error:
        print(error)
    """)
    assert done.stdout == "max workers must be at least 1\n"


@pytest.mark.parametrize("max_threads", [None, 2])
def test_parallel_run_while_the_interpreter_shuts_down_completes(max_threads):
    done = run_scenario(f"""
    dag = level(*[lambda i, p: time.sleep(0.01) or {{"out": i["seed"] + 1}}] * 4)

    class RunsAtExit:
        def __del__(self):
            print(sorted(dag.execute(True, {max_threads}).items()), flush=True)

    keeper = RunsAtExit()
    """)
    assert done.stdout == "[('out0', 2), ('out1', 2), ('out2', 2), ('out3', 2), ('seed', 1)]\n"
