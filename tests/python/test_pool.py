"""Runs on the shared worker pool: nesting, fork, interpreter exit, idle
workers leaving. Each scenario runs in a fresh interpreter with a time limit,
so a deadlock or a crash fails the test instead of the suite."""

import textwrap

import pytest

from conftest import CHILD_PRELUDE, run_python

PRELUDE = CHILD_PRELUDE


def run_scenario(body, timeout=120):
    done = run_python(PRELUDE + textwrap.dedent(body), timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Fatal Python error" not in done.stderr
    return done


def test_nested_parallel_runs_from_several_threads_finish():
    run_scenario("""
    def nest(depth):
        def run(i, p):
            time.sleep(0.001)
            if depth == 0:
                return {"out": 1}
            return {"out": sum(level(nest(depth - 1), nest(depth - 1)).execute(True).values()) - 1}
        return run

    def caller(results, index):
        dag = level(nest(3), nest(3))
        results[index] = dag.execute(True)

    results = [None] * 8
    callers = [threading.Thread(target=caller, args=(results, n)) for n in range(8)]
    for thread in callers:
        thread.start()
    for thread in callers:
        thread.join(90)
        assert not thread.is_alive(), "a nested run did not finish"
    # A node of depth d returns 2 ** d: its two inner results, plus the
    # inner seed, less one.
    assert all(r == {"seed": 1, "out0": 8, "out1": 8} for r in results), results
    """)


def test_nested_waves_that_block_get_workers_of_their_own():
    run_scenario("""
    def meeting(width):
        barrier = threading.Barrier(width, timeout=30)
        return lambda i, p: {"out": barrier.wait() >= 0}

    def outer(i, p):
        return {"out": level(*[meeting(4)] * 4).execute(True)["out3"]}

    assert level(outer, outer, outer).execute(True) == {
        "seed": 1, "out0": True, "out1": True, "out2": True}
    """)


def test_child_process_after_fork_runs_in_parallel():
    run_scenario("""
    barrier_of = lambda: threading.Barrier(3, timeout=20)
    def meeting(barrier):
        return lambda i, p: {"out": barrier.wait() >= 0}
    barrier = barrier_of()
    assert level(*[meeting(barrier)] * 3).execute(True)["out2"] is True
    import warnings
    warnings.simplefilter("ignore", DeprecationWarning)
    child = os.fork()
    if child == 0:
        barrier = barrier_of()
        ok = level(*[meeting(barrier)] * 3).execute(True, 3)["out2"] is True
        os._exit(0 if ok else 1)
    _, status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status
    """)


@pytest.mark.parametrize(
    "work",
    [
        pytest.param("x = 0\n        while time.perf_counter() < end: x += 1", id="python-code"),
        pytest.param("time.sleep(end - time.perf_counter())", id="sleeping"),
    ],
)
def test_exit_with_a_parallel_run_in_flight_neither_hangs_nor_crashes(work):
    done = run_scenario(
        f"""
    started = threading.Event()
    def busy(i, p):
        started.set()
        end = time.perf_counter() + 2
        {work}
        return {{"out": 1}}

    dag = level(*[busy] * 64)
    def loop():
        while True:
            dag.execute(True, 8)
    threading.Thread(target=loop, daemon=True).start()
    started.wait(30)
    print("leaving")
    """,
        timeout=60,
    )
    assert done.stdout == "leaving\n"


def test_exit_with_a_warm_pool():
    done = run_scenario("""
    barrier = threading.Barrier(16, timeout=20)
    level(*[lambda i, p: {"out": barrier.wait()}] * 16).execute(True)
    print(threads() > 16)
    """)
    assert done.stdout == "True\n"


def test_idle_workers_leave_again():
    run_scenario("""
    before = threads()
    level(*[lambda i, p: time.sleep(0.05) or {"out": 1}] * 64).execute(True)
    assert threads() >= before + 32, threads()
    deadline = time.monotonic() + 20
    while threads() > before + os.cpu_count() and time.monotonic() < deadline:
        time.sleep(0.2)
    assert threads() <= before + os.cpu_count(), (before, threads())
    """)


def test_nodes_run_on_reused_threads():
    run_scenario("""
    local = threading.local()
    def remember(i, p):
        seen = getattr(local, "value", None)
        local.value = threading.get_ident()
        return {"out": seen}
    dag = level(remember, remember)
    dag.execute(True, 1)
    again = dag.execute(True, 1)
    # The next run finds the worker, and what an earlier node left on it.
    assert any(value is not None for key, value in again.items() if key != "seed"), again
    """)
