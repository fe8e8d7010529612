r"""A corvane pipeline computed on a Dask cluster of worker processes.

        /-> score(part 0) -\
split --> score(part 1) ---> (the context holds every score)
        \-> score(part 2) -/

Each `score` is CPU-bound pure Python: in one process the interpreter lock
runs them one at a time, while the cluster's two worker processes run two at
once. The same graph would run on a remote cluster by handing
`distributed.Client` the scheduler's address instead of a LocalCluster.

Run it with `python examples/dask_cluster.py` after `pip install .[dask]`
and `pip install distributed`.
"""

from typing import Any

import distributed

import corvane
from corvane.dask import to_dask

PARTS = 3


def split(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
    numbers = list(range(300_000))
    return {f"part{k}": numbers[k::PARTS] for k in range(PARTS)}


def score(inputs: dict[str, Any], params: dict[str, Any]) -> dict[str, Any]:
    return {"score": sum(value * value % 7 for value in inputs["numbers"])}


def build_pipeline() -> corvane.Dag:
    graph = corvane.Graph()
    graph.add(split, label="split", outputs={f"part{k}": f"part{k}" for k in range(PARTS)})
    for k in range(PARTS):
        branch = corvane.Graph()
        branch.add(
            score,
            label=f"score {k}",
            inputs={f"part{k}": "numbers"},
            outputs={"score": f"score{k}"},
        )
        graph.branch(branch)
    return graph.build()


def main() -> None:
    dag = build_pipeline()
    # The node functions travel to the workers pickled, by value for those
    # of a script (cloudpickle): everything a node uses must be picklable.
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        future = client.compute(to_dask(dag, parallel=True))
        context: dict[str, Any] = future.result()
    scores = {name: value for name, value in context.items() if name.startswith("score")}
    print(sorted(scores.items()))
    assert context == dag.execute(parallel=True)


# Worker processes start by importing this module: the guard keeps them from
# starting a cluster of their own.
if __name__ == "__main__":
    main()
