r"""A first corvane program: a small pipeline with two branches and a join.

load -> clean -> total   -> report
           \-> largest  -/   (branches side by side; the join waits for both)

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


def report(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
    return {"text": f"{params['title']}: largest {inputs['largest']} of {inputs['total']}"}


def build_pipeline() -> corvane.Dag:
    graph = corvane.Graph()
    # `inputs` maps context names to the function's own names,
    # `outputs` maps the function's names to context names.
    graph.add(load, label="load", outputs=[("rows", "data")])
    graph.add(clean, label="clean", inputs={"data": "raw"}, outputs={"kept": "clean"})

    # Branches hang from the node added last (clean) and run side by side.
    for function, result, name in ((largest, "max", "largest"), (total, "sum", "total")):
        branch = corvane.Graph()
        branch.add(function, label=name, inputs={"clean": "values"}, outputs=[(result, name)])
        graph.branch(branch)
    # A join waits for every branch; a plain string maps a name to itself.
    graph.join(
        report,
        label="report",
        inputs=["largest", "total"],
        outputs=["text"],
        params={"title": "kept values"},
    )
    return graph.build()


def main() -> None:
    dag = build_pipeline()

    sequential = dag.execute()
    parallel = dag.execute(parallel=True, max_threads=4)
    for name, context in (("sequential", sequential), ("parallel", parallel)):
        print(f"{name}: {context['text']}")
    assert sequential == parallel

    print(f"{len(dag)} nodes in levels {dag.levels}")
    print()
    print(dag.to_mermaid(), end="")


if __name__ == "__main__":
    main()
