"""Rows for what a pipeline is written with: fresh names along a chain,
joins, and the marketing pipeline of the peer comparison (ratio = corvane /
other, below 1 means corvane is faster; measured in alternation).

- sequential chain of 20,000 trivial nodes reusing one name and writing a
  fresh name per node, against the loop a careful user writes: a list of
  (function, input pairs, output pairs) walked with dict comprehensions;
- Graph construction and build() of 10^5 nodes made of branches gathered
  by joins, against the same graph with each join an add;
- a graph hung as the branch of a new graph, 16,000 levels deep, made and
  built, per level, against the same 1,000 levels deep;
- the marketing pipeline against hand-written pandas, and its lines of code
  against Apache Hamilton's (pandas needed; the row is left out without it).
"""

import corvane
from alternation import best_of_both

LENGTH = 20_000


def step(inputs, params):
    return {"y": inputs["x"] + 1}


def start(inputs, params):
    return {"y": 0}


def names(fresh):
    """(read, written) per node of the chain after the first."""
    if fresh:
        return [(f"v{k - 1}", f"v{k}") for k in range(1, LENGTH)]
    return [("v", "v")] * (LENGTH - 1)


def chain_dag(fresh):
    graph = corvane.Graph().add(start, outputs={"y": "v0" if fresh else "v"})
    for read, written in names(fresh):
        graph.add(step, inputs={read: "x"}, outputs={"y": written})
    return graph.build()


def careful_loop(fresh):
    steps = [(start, (), (("y", "v0" if fresh else "v"),))]
    steps += [(step, ((read, "x"),), (("y", written),)) for read, written in names(fresh)]

    def run():
        context = {}
        for function, inputs, outputs in steps:
            result = function({own: context[name] for name, own in inputs if name in context}, {})
            context.update({name: result[own] for own, name in outputs if own in result})
        return context

    return run


def joined_graph(size, joins):
    graph = corvane.Graph().add()
    for _ in range(size // 4):
        graph.branch(corvane.Graph().add())
        graph.branch(corvane.Graph().add())
        graph.join() if joins else graph.add()
        graph.add()
    return graph


def nested_graph(depth):
    graph = corvane.Graph().add()
    for _ in range(depth):
        outer = corvane.Graph().add()
        outer.branch(graph)
        graph = outer
    return graph


def rows():
    found = []
    for fresh in (False, True):
        dag, by_hand = chain_dag(fresh), careful_loop(fresh)
        assert dag.execute() == by_hand()
        ours, theirs = best_of_both(15, dag.execute, by_hand)
        written = "a fresh name per node" if fresh else "one name"
        found.append(
            (
                f"chain of 20,000 writing {written}, per node",
                ours / LENGTH,
                theirs / LENGTH,
                "careful hand-written loop",
            )
        )
    size = 10**5

    def joined():
        return joined_graph(size, True).build()

    def added():
        return joined_graph(size, False).build()

    # Untimed first: until the allocator has settled on where large blocks
    # come from, whichever side runs first pays for it.
    best_of_both(3, joined, added)
    ours, theirs = best_of_both(5, joined, added)
    found.append(
        (
            "graph with joins of 10^5, made and built, per node",
            ours / size,
            theirs / size,
            "joins as adds",
        )
    )
    deep, shallow = 16_000, 1_000
    ours, theirs = best_of_both(
        5, lambda: nested_graph(deep).build(), lambda: nested_graph(shallow).build()
    )
    found.append(
        (
            "graph nested 16,000 levels deep, made and built, per level",
            ours / deep,
            theirs / shallow,
            "1,000 levels deep",
        )
    )
    try:
        from marketing import rows as marketing_rows
    except ImportError:
        return found, None
    timing, lines = marketing_rows()
    return [*found, timing], lines
