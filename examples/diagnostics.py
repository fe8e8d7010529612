"""Seeing into a run: a pipeline with one failing node.

- `execute_detailed` records the failure instead of printing it, with every
  node's outputs, start and end times and thread;
- `raise_for_failures` turns the failures into one ExceptionGroup;
- a `ProgressBar` (needs `pip install corvane[progress]`) draws the run;
- the run's timeline is written as a Mermaid gantt chart to `run_timeline.md`.

Run it with `python examples/diagnostics.py` after `pip install .[progress]`.
"""

import time
from pathlib import Path
from typing import Any

import corvane


def load(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
    return {"rows": list(range(10))}


def summarise(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
    time.sleep(0.02)
    return {"total": sum(inputs["rows"])}


def validate(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
    time.sleep(0.01)
    raise ValueError(f"{len(inputs['rows'])} rows, expected 12")


def build_pipeline() -> corvane.Dag:
    graph = corvane.Graph()
    graph.add(load, label="load", outputs={"rows": "rows"})
    check = corvane.Graph()
    check.add(validate, label="validate", inputs={"rows": "rows"})
    graph.branch(check)
    graph.add(summarise, label="summarise", inputs={"rows": "rows"}, outputs={"total": "total"})
    return graph.build()


def main() -> None:
    dag = build_pipeline()

    result = dag.execute_detailed(parallel=True)
    print(f"context: {result.context}")
    for node_id, (start, end) in sorted(result.timings.items()):
        print(f"node {node_id}: {(end - start) * 1000:.1f} ms")
    try:
        result.raise_for_failures()
    except Exception as group:
        print(f"raised: {group!r}")

    with corvane.ProgressBar(desc="pipeline"):
        dag.execute(parallel=True)

    timeline = Path("run_timeline.md")
    timeline.write_text("```mermaid\n" + result.to_mermaid_gantt() + "```\n")
    print(f"timeline written to {timeline}")


if __name__ == "__main__":
    main()
