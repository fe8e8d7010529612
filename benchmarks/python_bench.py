"""Times corvane against what a Python programmer would otherwise write.

- chain: N nodes, each reading one variable and writing it back, executed
  sequentially, against a hand-written loop that does the same renaming
  through dicts and calls the same functions.
- fan-out: one root and W branches that each sleep (waiting on I/O) or do
  nothing, run level-parallel, against graphlib.TopologicalSorter driving a
  ThreadPoolExecutor of up to 32 workers. corvane starts one thread per node
  of a level, so the row of 1000 empty nodes shows what that costs.

Prints seconds per run (best of several) and the ratio corvane / alternative;
below 1 means corvane is faster. Usage: python benchmarks/python_bench.py
"""

import graphlib
import time
from concurrent.futures import ThreadPoolExecutor

import corvane


def best_of_both(repeats, ours, theirs):
    """Best time of each, measured in alternation so that both see the same
    machine load."""
    best = [float("inf"), float("inf")]
    for _ in range(repeats):
        for slot, run in enumerate((ours, theirs)):
            start = time.perf_counter()
            run()
            best[slot] = min(best[slot], time.perf_counter() - start)
    return best


def increment(inputs, params):
    return {"v": inputs["v"] + 1}


def start(inputs, params):
    return {"v": 0}


def chain_dag(length):
    graph = corvane.Graph()
    graph.add(start, outputs={"v": "v"})
    for _ in range(length - 1):
        graph.add(increment, inputs={"v": "v"}, outputs={"v": "v"})
    return graph.build()


def chain_by_hand(length):
    functions = [start] + [increment] * (length - 1)
    inputs_of = [{}] + [{"v": "v"}] * (length - 1)
    outputs_of = [{"v": "v"}] * length

    def run():
        context = {}
        for function, inputs, outputs in zip(functions, inputs_of, outputs_of, strict=False):
            arguments = {own: context[name] for name, own in inputs.items() if name in context}
            result = function(arguments, {})
            if not isinstance(result, dict):
                continue
            for own, name in outputs.items():
                if own in result:
                    context[name] = result[own]
        return context

    return run


def sleeper(seconds):
    def work(inputs, params):
        time.sleep(seconds)
        return {"done": inputs["seed"]}

    return work


def fan_out_dag(width, seconds):
    graph = corvane.Graph()
    graph.add(lambda inputs, params: {"seed": 1}, outputs={"seed": "seed"})
    for index in range(width):
        branch = corvane.Graph()
        work = sleeper(seconds) if seconds else (lambda inputs, params: {"done": inputs["seed"]})
        branch.add(work, inputs={"seed": "seed"}, outputs={"done": f"done{index}"})
        graph.branch(branch)
    return graph.build()


def fan_out_by_hand(width, seconds):
    work = sleeper(seconds) if seconds else (lambda inputs, params: {"done": inputs["seed"]})
    dependencies = {f"b{index}": {"root"} for index in range(width)}

    def run():
        context = {"seed": 1}
        sorter = graphlib.TopologicalSorter(dependencies)
        sorter.prepare()
        with ThreadPoolExecutor(max_workers=min(width, 32)) as pool:
            while sorter.is_active():
                ready = sorter.get_ready()
                futures = {
                    name: pool.submit(work, {"seed": context["seed"]}, {})
                    for name in ready
                    if name != "root"
                }
                for name in ready:
                    if name in futures:
                        context["done" + name[1:]] = futures[name].result()["done"]
                    sorter.done(name)
        return context

    return run


def main():
    rows = []
    for length in (100, 1000, 10000):
        dag = chain_dag(length)
        assert dag.execute()["v"] == length - 1
        repeats = max(5, 50000 // length)
        ours, theirs = best_of_both(repeats, dag.execute, chain_by_hand(length))
        rows.append(
            (f"chain of {length}, per node", ours / length, theirs / length, "hand-written loop")
        )

    for width, seconds in ((8, 0.02), (32, 0.02), (1000, 0.0)):
        dag = fan_out_dag(width, seconds)
        ours, theirs = best_of_both(
            5, lambda dag=dag: dag.execute(parallel=True), fan_out_by_hand(width, seconds)
        )
        work = f"{seconds * 1000:.0f} ms sleep" if seconds else "no work"
        rows.append((f"fan-out of {width} x {work}", ours, theirs, "graphlib + thread pool"))

    print(f"{'workload':<34} {'corvane s':>12} {'other s':>12} {'ratio':>7}  other")
    for name, ours, theirs, other in rows:
        print(f"{name:<34} {ours:>12.3g} {theirs:>12.3g} {ours / theirs:>7.2f}  {other}")


if __name__ == "__main__":
    main()
