"""Failures of the native side: refused threads and exhausted memory end the
call with a Python exception, not the process. Each runs in a child process
whose address space is capped just above what it already uses."""

import os

import pytest

from conftest import run_python

CAP_ADDRESS_SPACE = """
    import resource

    def cap_address_space(headroom):
        with open("/proc/self/status") as status:
            size = next(
                int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:")
            )
        resource.setrlimit(resource.RLIMIT_AS, (size + headroom, resource.RLIM_INFINITY))
"""


@pytest.mark.parametrize("max_threads", [None, 1])
def test_refused_worker_thread_raises_panic_exception(max_threads):
    # A worker's stack (8 MiB by default) does not fit in 2 MiB of headroom.
    finished = run_python(
        CAP_ADDRESS_SPACE
        + f"""
    import corvane

    graph = corvane.Graph()
    graph.add()
    for _ in range(3):
        branch = corvane.Graph()
        branch.add(lambda i, p: print("ran") or {{}})
        graph.branch(branch)
    dag = graph.build()
    cap_address_space(2 * 2**20)
    try:
        dag.execute(parallel=True, max_threads={max_threads})
    except corvane.PanicException as error:
        print("panic:", error.args[0])
    # Sequential runs need no thread and still work.
    print("after:", dag.execute())
    """
    )
    assert finished.returncode == 0, finished.stderr
    lines = finished.stdout.splitlines()
    assert lines[0].startswith("panic: failed to spawn thread: ")
    assert lines[1:] == ["ran", "ran", "ran", "after: {}"]


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer aborts instead of failing an allocation",
)
def test_exhausted_native_memory_raises_memory_error():
    # Copying a 256 MiB label into the builder cannot fit in 64 MiB.
    finished = run_python(
        CAP_ADDRESS_SPACE
        + """
    import corvane

    label = "x" * (256 * 2**20)
    graph = corvane.Graph()
    cap_address_space(64 * 2**20)
    try:
        graph.add(label=label)
    except MemoryError:
        print("memory error")
    graph.add(label="small")
    print(graph.build().to_mermaid(), end="")
    """
    )
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout == 'memory error\ngraph TD\n    0["small"]\n'
