"""A first corvane program: a small pipeline with one branch.

load -> clean -> total
           \-> largest   (a branch, running beside `total`)

Run it with `python examples/quickstart.py` after `pip install .`.
"""

import corvane


def load(inputs, params):
    return {"rows": [4, -1, 7, 2, -3, 9]}


def clean(inputs, params):
    return {"kept": [value for value in inputs["raw"] if value >= 0]}


def total(inputs, params):
    return {"sum": sum(inputs["values"])}


def largest(inputs, params):
    return {"max": max(inputs["values"])}


def build_pipeline():
    graph = corvane.Graph()
    # `inputs` maps context names to the function's own names,
    # `outputs` maps the function's names to context names.
    graph.add(load, label="load", outputs=[("rows", "data")])
    graph.add(clean, label="clean", inputs={"data": "raw"}, outputs={"kept": "clean"})

    branch = corvane.Graph()
    branch.add(largest, label="largest", inputs={"clean": "values"}, outputs={"max": "largest"})
    # The branch hangs from the node added last (clean); the node added next
    # depends on that same node, so `total` and `largest` share one level.
    graph.branch(branch)
    graph.add(total, label="total", inputs={"clean": "values"}, outputs={"sum": "total"})
    return graph.build()


def main():
    dag = build_pipeline()

    sequential = dag.execute()
    parallel = dag.execute(parallel=True, max_threads=4)
    for name, context in (("sequential", sequential), ("parallel", parallel)):
        print(f"{name}: total={context['total']} largest={context['largest']}")
    assert sequential == parallel

    print()
    print(dag.to_mermaid(), end="")


if __name__ == "__main__":
    main()
