"""Times dataflow runs (parallel="dataflow") against their ideal and against
level-parallel runs (parallel=True) of the same graphs.

Rows (ratio = dataflow / other, both measured in this one process; runs
against another mode alternate with it, best of several):

- two branches of two sleeping nodes, [100 ms, 10 ms] and [10 ms, 100 ms],
  against their longest path (110 ms) and against level mode (200 ms);
- a random unbalanced graph of 200 nodes sleeping 1-20 ms each and writing
  a value of 10 kB (a main chain forking into branches of random length,
  mostly joined again), against its longest path and against level mode;
- a level of 1,000 trivial nodes and a chain of 20,000 trivial nodes,
  per node, against level mode;
- memory: the most heap in use at any node's end during a run, above the
  heap before it (median of nine runs), against level mode on the random
  graph, the level and the chain.

Usage: python benchmarks/dataflow_bench.py
"""

import ctypes
import ctypes.util
import random
import time

import corvane
from alternation import best_of_both, print_rows

DATAFLOW = "dataflow"


def sleeper(milliseconds):
    """Sleeps, then writes a new value of 10 kB: a run's memory is then
    mostly the values it keeps alive."""
    seconds = milliseconds / 1000

    def run(inputs, params):
        time.sleep(seconds)
        return {"v": bytearray(10_000)}

    return run


def add_sleeper(graph, milliseconds):
    graph.add(sleeper(milliseconds), label=str(milliseconds), inputs={"v": "v"}, outputs={"v": "v"})


def two_branches():
    graph = corvane.Graph().add(lambda inputs, params: {})
    for first, second in ((100, 10), (10, 100)):
        branch = corvane.Graph()
        add_sleeper(branch, first)
        add_sleeper(branch, second)
        graph.branch(branch)
    return graph.build()


def random_graph(size, seed=17):
    """A main chain of sleeping nodes that forks into two to four branches
    of one to eight nodes (some forking again), joined again four times out
    of five."""
    chooser = random.Random(seed)
    made = 0

    def chain_into(graph, budget, depth):
        nonlocal made
        while budget > 0 and made < size:
            if depth < 2 and chooser.random() < 0.3 and budget > 2:
                for _ in range(chooser.randint(2, 4)):
                    branch = corvane.Graph()
                    chain_into(branch, chooser.randint(1, 8), depth + 1)
                    graph.branch(branch)
                if chooser.random() < 0.8 and made < size:
                    graph.join(sleeper(ms := chooser.randint(1, 20)), label=str(ms))
                    made += 1
                budget -= 2
            else:
                add_sleeper(graph, chooser.randint(1, 20))
                made += 1
                budget -= 1

    graph = corvane.Graph()
    add_sleeper(graph, 1)
    made = 1
    while made < size:
        chain_into(graph, size, 0)
    return graph.build()


def longest_path(dag):
    """Seconds along the slowest chain of dependencies (labels are sleeps
    in milliseconds)."""
    finish = {}
    nodes = {info.id: info for info in dag.nodes}
    for node_id in dag.execution_order:
        info = nodes[node_id]
        own = int(info.label) / 1000 if info.label else 0.0
        finish[node_id] = own + max((finish[d] for d in info.dependencies), default=0.0)
    return max(finish.values())


def trivial(inputs, params):
    return {"done": inputs["seed"]}


def wide_level(width):
    graph = corvane.Graph().add(lambda inputs, params: {"seed": 1}, outputs={"seed": "seed"})
    for index in range(width):
        graph.branch(
            corvane.Graph().add(trivial, inputs={"seed": "seed"}, outputs={"done": f"done{index}"})
        )
    return graph.build()


def chain(length):
    graph = corvane.Graph().add(lambda inputs, params: {"y": 0}, outputs={"y": "v"})
    for _ in range(length - 1):
        graph.add(
            lambda inputs, params: {"y": inputs["x"] + 1}, inputs={"v": "x"}, outputs={"y": "v"}
        )
    return graph.build()


class HeapPeak(corvane.Callback):
    """The most heap in use (glibc's count) at any node's end of a run,
    above what was in use when the run started."""

    def __init__(self):
        super().__init__()
        self.libc = ctypes.CDLL(ctypes.util.find_library("c"))
        self.libc.mallinfo2.restype = MallInfo2
        self.peak = 0

    def in_use(self):
        return self.libc.mallinfo2().uordblks

    def start(self, dag):
        self.base = self.in_use()
        self.peak = 0

    def node_finish(self, dag, node_id, seconds, failure):
        self.peak = max(self.peak, self.in_use() - self.base)


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def peak_heaps(dag, repeats=9):
    """The median heap peak in bytes of dataflow runs and of level runs,
    measured in alternation."""
    peaks = {DATAFLOW: [], True: []}
    for _ in range(repeats):
        for parallel, found in peaks.items():
            with HeapPeak() as watcher:
                dag.execute(parallel)
            found.append(watcher.peak)
    return [sorted(found)[repeats // 2] for found in peaks.values()]


def rows():
    """The timing rows, then the heap rows, as (name, dataflow, other, what
    the other is)."""
    found = []
    memory = []
    # The rows of trivial nodes first: the sleeping rows leave idle workers
    # behind, whose retirement a few seconds later would fall into them.
    for name, dag, count, repeats in (
        ("chain of 20,000 trivial nodes", chain(20000), 20000, 15),
        ("level of 1,000 trivial nodes", wide_level(1000), 1000, 30),
    ):
        assert dag.execute(DATAFLOW) == dag.execute(True)
        ours, theirs = best_of_both(
            repeats, lambda d=dag: d.execute(DATAFLOW), lambda d=dag: d.execute(True)
        )
        found.append((f"{name}, per node", ours / count, theirs / count, "level mode"))
        memory.append((name, dag))

    dag = two_branches()
    dag.execute(DATAFLOW)
    alone = best_of_both(7, lambda: dag.execute(DATAFLOW), lambda: None)[0]
    found.append(("two branches [100, 10] + [10, 100] ms", alone, 0.110, "longest path 110 ms"))
    ours, theirs = best_of_both(5, lambda: dag.execute(DATAFLOW), lambda: dag.execute(True))
    found.append(("two branches [100, 10] + [10, 100] ms", ours, theirs, "level mode"))

    dag = random_graph(200)
    assert len(dag.nodes) == 200
    ideal = longest_path(dag)
    dag.execute(DATAFLOW)
    alone = best_of_both(5, lambda: dag.execute(DATAFLOW), lambda: None)[0]
    found.append(("random graph of 200 sleeps of 1-20 ms", alone, ideal, "longest path"))
    ours, theirs = best_of_both(3, lambda: dag.execute(DATAFLOW), lambda: dag.execute(True))
    found.append(("random graph of 200 sleeps of 1-20 ms", ours, theirs, "level mode"))
    memory.insert(0, ("random graph of 200", dag))

    heaps = [(f"heap peak, {name}", *peak_heaps(dag), "level mode") for name, dag in memory]
    return found, heaps


def main():
    timings, heaps = rows()
    print_rows("dataflow", timings)
    for name, ours, theirs, other in heaps:
        print(f"{name:<50} {ours:>9}B {theirs:>9}B {heap_ratio(ours, theirs)}  {other}")


def heap_ratio(ours, theirs):
    return f"{ours / theirs:>6.2f}" if theirs else "     -"


if __name__ == "__main__":
    main()
