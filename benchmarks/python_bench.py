"""Times corvane against what a Python programmer would otherwise write.

Rows (time per node unless said otherwise; ratio = corvane / other, below 1
means corvane is faster; both sides measured in alternation, best of
several, in this one process):

- sequential: a chain of 20,000 trivial nodes ({"y": inputs["x"] + 1}),
  against a hand-written loop doing the same renaming and calls; also with a
  corvane.Callback that does nothing active, and with a ProgressBar drawing
  into a discarded stream (when tqdm is installed), against the same loop.
- level: one level of 100 or 1,000 trivial nodes run with
  execute(parallel=True, max_threads=None / 2 / 16), against a
  ThreadPoolExecutor kept alive across runs with as many workers (the level's
  width for None), submitting the same calls and collecting the results.
- sleeps: 256 nodes of one level each sleeping 50 ms, no cap, against the
  ideal 50 ms and against a persistent ThreadPoolExecutor(256) doing the
  same calls; that executor's own time against the ideal is how near to it
  threads already started come when each takes the interpreter lock in turn.
- threads, all with max_threads=None, each with the workers it left behind:
  a level of 2,000 pure-Python loops of ~0.5 ms against the same Dag run
  sequentially; a mixed level of 1,000 such loops interleaved with 256
  sleeps of 50 ms against the loops alone run sequentially (the larger of
  that and the 50 ms of a sleep is the ideal); a level of 10,000 sleeps of
  0.1 ms against the best of several fixed max_threads.
- build and to_mermaid of a chain and of a fan-out (one node with n
  branches of one node) of n = 10^3 and 10^5 nodes without functions: the
  10^5 row's "other" is the 10^3 figure, so the ratio shows growth per node.
  "first to_mermaid" is a fresh Dag's first render, "to_mermaid" the best
  of it and two more.
- memory: bytes of process memory per node of a built fan-out of 10^5.
- fresh names, joins, nesting and the marketing pipeline: see graph_shapes.py.
- dataflow runs (parallel="dataflow") against their longest path and
  against level mode, and their heap peaks: see dataflow_bench.py.

Usage: python benchmarks/python_bench.py
"""

import contextlib
import gc
import io
import os
import resource
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import corvane
import dataflow_bench
import graph_shapes
from alternation import best_of_both, print_rows


def step(inputs, params):
    return {"y": inputs["x"] + 1}


def start(inputs, params):
    return {"y": 0}


def chain_dag(length):
    graph = corvane.Graph()
    graph.add(start, outputs={"y": "v"})
    for _ in range(length - 1):
        graph.add(step, inputs={"v": "x"}, outputs={"y": "v"})
    return graph.build()


def chain_by_hand(length):
    functions = [start] + [step] * (length - 1)
    inputs_of = [{}] + [{"v": "x"}] * (length - 1)
    outputs_of = [{"y": "v"}] * length

    def run():
        context = {}
        for function, inputs, outputs in zip(functions, inputs_of, outputs_of, strict=True):
            arguments = {own: context[name] for name, own in inputs.items() if name in context}
            result = function(arguments, {})
            if not isinstance(result, dict):
                continue
            for own, name in outputs.items():
                if own in result:
                    context[name] = result[own]
        return context

    return run


def work(inputs, params):
    return {"done": inputs["seed"]}


def sleep_50ms(inputs, params):
    time.sleep(0.05)
    return {"done": inputs["seed"]}


def spin_500us(inputs, params):
    total = 0
    for number in range(20000):
        total += number
    return {"done": total}


def sleep_100us(inputs, params):
    time.sleep(0.0001)
    return {"done": inputs["seed"]}


def level_dag(width, function):
    return mixed_level_dag([function] * width)


def mixed_level_dag(functions):
    graph = corvane.Graph()
    graph.add(lambda inputs, params: {"seed": 1}, outputs={"seed": "seed"})
    for index, function in enumerate(functions):
        branch = corvane.Graph()
        branch.add(function, inputs={"seed": "seed"}, outputs={"done": f"done{index}"})
        graph.branch(branch)
    return graph.build()


def level_by_hand(pool, width, function=work):
    names = [f"done{index}" for index in range(width)]

    def run():
        context = {"seed": 1}
        futures = [pool.submit(function, {"seed": context["seed"]}, {}) for _ in names]
        for name, future in zip(names, futures, strict=True):
            context[name] = future.result()["done"]
        return context

    return run


def shaped_graph(shape, size):
    graph = corvane.Graph()
    graph.add(None, outputs={"x": "x"})
    for _ in range(size - 1):
        if shape == "chain":
            graph.add(None, inputs={"x": "x"}, outputs={"x": "x"})
        else:
            branch = corvane.Graph()
            branch.add(None, inputs={"x": "x"}, outputs={"y": "y"})
            graph.branch(branch)
    return graph


def page_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def build_and_render(shape, size):
    """Seconds per node to build, to render a fresh Dag the first time, and
    to render it again (best of a few of each), and the fresh memory pages
    per node that a first render touches.

    A fresh page costs a kernel page fault. A render of 10^3 nodes reuses
    memory the process already has; the first render of 10^5 nodes makes
    about 8 MB of text and a Python string of 16 MB, mostly in fresh pages.
    """
    build = first_render = render = float("inf")
    faults = renders = 0
    for _ in range(3):
        graph = shaped_graph(shape, size)
        began = time.perf_counter()
        dag = graph.build()
        build = min(build, time.perf_counter() - began)
        for attempt in range(3):
            faults_before = page_faults()
            began = time.perf_counter()
            dag.to_mermaid()
            took = time.perf_counter() - began
            if attempt == 0:
                first_render = min(first_render, took)
                faults += page_faults() - faults_before
                renders += 1
            render = min(render, took)
        del dag, graph
    return build / size, first_render / size, render / size, faults / renders / size


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def bytes_per_built_node(size):
    gc.collect()
    before = resident_bytes()
    dag = shaped_graph("fan-out", size).build()
    gc.collect()
    used = resident_bytes() - before
    del dag
    return used / size


class DoNothing(corvane.Callback):
    def start(self, dag):
        pass

    def node_start(self, dag, node_id):
        pass

    def node_finish(self, dag, node_id, seconds, failure):
        pass

    def finish(self, dag, seconds):
        pass


def watchers():
    """The ways a run may be watched: not at all, by a do-nothing callback,
    by a progress bar (when tqdm is installed)."""
    found = [("", contextlib.nullcontext()), (" + Callback", DoNothing())]
    try:
        found.append((" + ProgressBar", corvane.ProgressBar(file=io.StringIO())))
    except ImportError:
        pass
    return found


def main():
    # First, while the process has no freed memory that a build could reuse.
    built_bytes = bytes_per_built_node(10**5)
    # Then the rows that need no threads, before the parallel rows leave a
    # thousand idle workers behind, whose retirement a few seconds later
    # would fall into these timings.
    shaped = {
        (shape, size): build_and_render(shape, size)
        for shape in ("chain", "fan-out")
        for size in (10**3, 10**5)
    }
    rows, lines = graph_shapes.rows()
    length = 20000
    dag = chain_dag(length)
    assert dag.execute()["v"] == length - 1
    for watched, active in watchers():
        with active:
            ours, theirs = best_of_both(15, dag.execute, chain_by_hand(length))
        rows.append(
            (
                f"sequential chain of 20,000{watched}, per node",
                ours / length,
                theirs / length,
                "hand-written loop",
            )
        )

    # The threads that are not the pool's (the interpreter's own, and those
    # that libraries imported by earlier rows started), before its first.
    not_pools = thread_count()
    for width in (100, 1000):
        dag = level_dag(width, work)
        for max_threads in (None, 2, 16):
            workers = width if max_threads is None else max_threads
            with ThreadPoolExecutor(max_workers=workers) as pool:
                by_hand = level_by_hand(pool, width)
                assert dag.execute(True, max_threads) == by_hand()
                repeats = 40 if width == 100 else 15
                ours, theirs = best_of_both(
                    repeats, lambda d=dag, m=max_threads: d.execute(True, m), by_hand
                )
            rows.append(
                (
                    f"level of {width}, max_threads {max_threads}, per node",
                    ours / width,
                    theirs / width,
                    f"ThreadPoolExecutor({workers})",
                )
            )

    dag = level_dag(256, sleep_50ms)
    dag.execute(True)
    # Against the ideal, a constant, corvane runs alone; against the thread
    # pool, in alternation with it.
    alone = best_of_both(9, lambda: dag.execute(True), lambda: None)[0]
    rows.append(("256 x 50 ms sleeps, one level", alone, 0.05, "ideal 50 ms"))
    with ThreadPoolExecutor(max_workers=256) as pool:
        by_hand = level_by_hand(pool, 256, sleep_50ms)
        by_hand()
        ours, theirs = best_of_both(7, lambda: dag.execute(True), by_hand)
    rows.append(("256 x 50 ms sleeps, one level", ours, theirs, "ThreadPoolExecutor(256)"))
    rows.append(("256 x 50 ms sleeps, ThreadPoolExecutor(256)", theirs, 0.05, "ideal 50 ms"))

    rows.extend(thread_rows(not_pools))
    flow_rows, heaps = dataflow_bench.rows()
    rows.extend((f"dataflow, {name}", *row) for name, *row in flow_rows)

    fresh_pages = []
    for shape in ("chain", "fan-out"):
        *small, small_pages = shaped[shape, 10**3]
        *large, large_pages = shaped[shape, 10**5]
        for name, large_time, small_time in zip(
            ("build", "first to_mermaid", "to_mermaid"), large, small, strict=True
        ):
            rows.append(
                (f"{name} {shape} 10^5 vs 10^3, per node", large_time, small_time, "same at 10^3")
            )
        fresh_pages.append(f"{shape} {large_pages:.3f} at 10^5, {small_pages:.3f} at 10^3")

    print_rows("corvane", rows)
    print(f"fresh memory pages per node of a first to_mermaid: {'; '.join(fresh_pages)}")
    if lines is not None:
        _, ours, theirs, other = lines
        print(f"marketing pipeline, non-blank lines of code: {ours} (corvane), {theirs} ({other})")
    print(f"built fan-out of 10^5: {built_bytes:.0f} bytes per node (resident)")
    for name, ours, theirs, other in heaps:
        ratio = dataflow_bench.heap_ratio(ours, theirs)
        print(f"dataflow, {name}: {ours} B against {theirs} B, {ratio.strip()}x {other}")


def thread_count():
    return len(os.listdir("/proc/self/task"))


def with_threads(name, run, not_pools):
    """`run`, once the workers of earlier rows beyond the kept ones (one per
    core) have left, and the row's name with the most threads the process
    had beyond those it had before, looked at every 5 ms. `not_pools`: the
    threads the process has besides the pool's workers."""
    while thread_count() > not_pools + (os.cpu_count() or 1):
        time.sleep(0.5)
    done = threading.Event()
    peak = [0]

    def watch():
        while not done.wait(0.005):
            peak[0] = max(peak[0], thread_count())

    watcher = threading.Thread(target=watch)
    watcher.start()
    before = thread_count()
    try:
        measured = run()
    finally:
        done.set()
        watcher.join()
    return f"{name} [{peak[0] - before} threads]", measured


def thread_rows(not_pools):
    rows = []
    cpu = level_dag(2000, spin_500us)
    name, (ours, theirs) = with_threads(
        "2,000 x 0.5 ms Python loops, one level",
        lambda: best_of_both(5, lambda: cpu.execute(True), cpu.execute),
        not_pools,
    )
    rows.append((name, ours, theirs, "the same run sequentially"))

    loops = level_dag(1000, spin_500us)
    functions = [spin_500us] * 1000
    for index in range(256):
        functions.insert(index * 5, sleep_50ms)
    mixed = mixed_level_dag(functions)
    name, (ours, theirs) = with_threads(
        "1,000 loops + 256 x 50 ms sleeps, one level",
        lambda: best_of_both(5, lambda: mixed.execute(True), loops.execute),
        not_pools,
    )
    rows.append((name, ours, max(theirs, 0.05), "the loops alone sequentially"))

    sleeps = level_dag(10000, sleep_100us)
    fixed = {
        max_threads: best_of_both(2, lambda m=max_threads: sleeps.execute(True, m), lambda: None)[0]
        for max_threads in (4, 8, 16, 32, 64)
    }
    best = min(fixed, key=fixed.get)
    name, (ours, theirs) = with_threads(
        "10,000 x 0.1 ms sleeps, one level",
        lambda: best_of_both(5, lambda: sleeps.execute(True), lambda: sleeps.execute(True, best)),
        not_pools,
    )
    rows.append((name, ours, theirs, f"max_threads={best}, the best fixed"))
    return rows


if __name__ == "__main__":
    main()
