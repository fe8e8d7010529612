"""What watching a run costs: a sequential chain of N nodes run with no
callback active, with a Callback that does nothing, and with a ProgressBar
(drawing into a discarded stream), each against the same hand-written loop.

Prints seconds per run (best of several, measured in alternation with the
loop) and the ratio corvane / loop; the "no callback" row is the run that
pays nothing for callbacks existing. Usage: python benchmarks/diagnostics_bench.py
"""

import contextlib
import io

import corvane
from alternation import best_of_both

LENGTH = 1000
REPEATS = 30


def increment(inputs, params):
    return {"v": inputs["v"] + 1}


def chain_dag():
    graph = corvane.Graph()
    graph.add(lambda inputs, params: {"v": 0}, outputs={"v": "v"})
    for _ in range(LENGTH - 1):
        graph.add(increment, inputs={"v": "v"}, outputs={"v": "v"})
    return graph.build()


def by_hand():
    context = {"v": 0}
    for _ in range(LENGTH - 1):
        result = increment({"v": context["v"]}, {})
        context["v"] = result["v"]
    return context


class Nothing(corvane.Callback):
    def start(self, dag):
        pass

    def node_start(self, dag, node_id):
        pass

    def node_finish(self, dag, node_id, seconds, failure):
        pass

    def finish(self, dag, seconds):
        pass


def main():
    dag = chain_dag()
    rows = [
        ("no callback", contextlib.nullcontext()),
        ("do-nothing Callback", Nothing()),
    ]
    try:
        rows.append(("ProgressBar", corvane.ProgressBar(file=io.StringIO())))
    except ImportError:
        print("(tqdm not installed: no ProgressBar row)")
    print(f"sequential chain of {LENGTH} nodes, best of {REPEATS}")
    print(f"{'row':<22}{'corvane s':>12}{'loop s':>12}{'ratio':>8}")
    for name, active in rows:
        with active:
            ours, theirs = best_of_both(REPEATS, dag.execute, by_hand)
        print(f"{name:<22}{ours:>12.6f}{theirs:>12.6f}{ours / theirs:>8.2f}")


if __name__ == "__main__":
    main()
