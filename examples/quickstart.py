r"""A first corvane program: a small pipeline with one branch.

load -> clean -> total
           \-> largest   (a branch, running beside `total`)

Run it with `python examples/quickstart.py` after `pip install .`.
"""

from typing import Any

import corvane


def load(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
    return {"rows": [4, -1, 7, 2, -3, 9]}


def clean(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
    return {"kept": [value for value in inputs["raw"] if value >= 0]}


def total(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
    return {"sum": sum(inputs["values"])}


def largest(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
    return {"max": max(inputs["values"])}


def build_pipeline() -> corvane.Dag:
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


def main() -> None:
    dag = build_pipeline()

    sequential = dag.execute()
    parallel = dag.execute(parallel=True, max_threads=4)
    for name, context in (("sequential", sequential), ("parallel", parallel)):
        print(f"{name}: total={context['total']} largest={context['largest']}")
    assert sequential == parallel

    print(f"{len(dag)} nodes in levels {dag.levels}")
    print()
    print(dag.to_mermaid(), end="")


if __name__ == "__main__":
    main()
