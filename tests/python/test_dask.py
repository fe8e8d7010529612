"""corvane.dask: a Dag computed by Dask gives what Dag.execute gives."""

import collections
import concurrent.futures
import dataclasses
import itertools
import logging
import multiprocessing
import pickle
import sys
import threading
import zlib

import pytest

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
hypothesis = pytest.importorskip("hypothesis")
import cloudpickle  # noqa: E402
from dask.utils import key_split  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import corvane  # noqa: E402
from conftest import chain, fan_out, node, replaced_stderr, run_python  # noqa: E402
from corvane.dask import to_dask  # noqa: E402

# Workers of process-based schedulers get this module's node functions by
# value, so they need not import the tests.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

NAMES = ["a", "b", "c"]
OWN_NAMES = ["x", "y"]
TIMEOUT = 60


@dataclasses.dataclass(frozen=True)
class Step:
    """A deterministic node function: each returned value is a checksum of
    the node's tag, the result's name and everything the node received."""

    tag: int
    kind: str
    returns: tuple

    def __call__(self, inputs, params):
        if self.kind == "raise":
            raise ValueError(f"step {self.tag} fails")
        if self.kind == "none":
            return None
        seen = repr((self.tag, list(inputs.items()), params)).encode()
        result = {own: zlib.crc32(own.encode() + seen) for own in self.returns}
        if self.kind == "extra":
            result.update({"unmapped": 1, 7: "not a name"})
        return result


@dataclasses.dataclass(frozen=True)
class NodeSpec:
    kind: str  # "noop" adds a node without a function
    inputs: dict
    outputs: dict
    returns: tuple
    labelled: bool
    params: dict
    joins: bool


node_specs = st.builds(
    NodeSpec,
    kind=st.sampled_from(["ok"] * 6 + ["extra", "raise", "none", "noop"]),
    inputs=st.dictionaries(st.sampled_from(NAMES), st.sampled_from(OWN_NAMES), max_size=3),
    outputs=st.dictionaries(st.sampled_from(OWN_NAMES), st.sampled_from(NAMES), max_size=3),
    # May leave out names the node maps, and return names it does not map.
    returns=st.one_of(
        st.just(tuple(OWN_NAMES)), st.lists(st.sampled_from(OWN_NAMES), unique=True).map(tuple)
    ),
    labelled=st.booleans(),
    params=st.dictionaries(st.sampled_from(["k", "m"]), st.integers(0, 3), max_size=2),
    joins=st.booleans(),
)


@st.composite
def graph_specs(draw, depth=0):
    """Nodes and (possibly empty, possibly nested) branches, in add order."""
    items = []
    for _ in range(draw(st.integers(0, 5 if depth == 0 else 3))):
        if depth < 2 and draw(st.booleans()):
            items.append(("branch", draw(graph_specs(depth + 1))))
        else:
            items.append(("node", draw(node_specs)))
    return items


def build_graph(spec, tags):
    graph = corvane.Graph()
    for kind, item in spec:
        if kind == "branch":
            graph.branch(build_graph(item, tags))
            continue
        tag = next(tags)
        add = graph.join if item.joins else graph.add
        add(
            None if item.kind == "noop" else Step(tag, item.kind, item.returns),
            label=f"step {tag}" if item.labelled else None,
            inputs=item.inputs or None,
            outputs=item.outputs or None,
            params=item.params,
        )
    return graph


@dataclasses.dataclass(frozen=True)
class RunSpec:
    inputs: dict
    # Indices into the names a run can produce (inputs and written names).
    targets: list | None


run_specs = st.builds(
    RunSpec,
    inputs=st.dictionaries(st.sampled_from(NAMES), st.integers(0, 9), max_size=2),
    targets=st.none() | st.lists(st.integers(0, 5), max_size=3),
)


def chosen_targets(dag, run):
    if run.targets is None:
        return None
    producible = list(
        dict.fromkeys([*run.inputs, *(n for i in dag.nodes for n in i.outputs.values())])
    )
    return [producible[i % len(producible)] for i in run.targets] if producible else []


def node_outputs(info, context):
    """What one node adds to `context`, as a local run computes it."""
    inputs = {own: context[name] for name, own in info.inputs.items() if name in context}
    try:
        result = info.function(inputs, info.params) if info.function else {}
    except ValueError:
        return {}
    if not isinstance(result, dict):
        return {}
    return {name: result[own] for own, name in info.outputs.items() if own in result}


def parallel_results(dag, inputs=None, targets=None):
    """Every context a level-parallel run can end with: each level reads
    the context from its start, and its writes merge in any order; only the
    nodes a run for `targets` needs run."""
    nodes = {info.id: info for info in reversed(dag.nodes)}
    planned = set(dag._run_plan(True, list(inputs or {}), targets))
    states = {frozenset((inputs or {}).items())}
    for level in dag.levels:
        level = [node_id for node_id in level if node_id in planned]
        after = set()
        for state in states:
            context = dict(state)
            writes = [node_outputs(nodes[i], context) for i in level]
            distinct = {tuple(sorted(w.items())) for w in writes if w}
            for order in itertools.permutations(distinct):
                merged = dict(context)
                for write in order:
                    merged.update(write)
                after.add(frozenset(merged.items()))
        states = after
    results = [dict(state) for state in states]
    if targets is None:
        return results
    return [{name: value for name, value in r.items() if name in targets} for r in results]


@pytest.fixture(scope="module")
def process_pool():
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        yield pool


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=logging.CRITICAL,
        ) as cluster,
        distributed.Client(cluster, timeout=TIMEOUT) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def compute(request):
    """compute(scheduler, *delayed) -> the computed values, in order."""

    def run(scheduler, *delayed):
        if scheduler == "processes":
            pool = request.getfixturevalue("process_pool")
            return dask.compute(*delayed, scheduler="processes", pool=pool)
        if scheduler == "distributed":
            cluster_client = request.getfixturevalue("client")
            futures = cluster_client.compute(list(delayed))
            return tuple(cluster_client.gather(futures, errors="raise", direct=None))
        return dask.compute(*delayed, scheduler=scheduler)

    return run


def check_both_modes(compute, scheduler, spec, run):
    dag = build_graph(spec, itertools.count()).build()
    targets = chosen_targets(dag, run)
    run_args = {"inputs": run.inputs, "targets": targets}
    with replaced_stderr() as local_errors:
        expected = dag.execute(False, **run_args)
    possible = parallel_results(dag, run.inputs, targets)
    with replaced_stderr():
        assert dag.execute(True, **run_args) in possible
    with replaced_stderr():
        dataflow_expected = dag.execute("dataflow", **run_args)
    sequential, parallel, dataflow = compute(
        scheduler,
        to_dask(dag, **run_args),
        to_dask(dag, parallel=True, **run_args),
        to_dask(dag, parallel="dataflow", **run_args),
    )
    assert sequential == expected
    assert list(sequential) == list(expected)
    assert parallel in possible
    assert list(dataflow.items()) == list(dataflow_expected.items())
    if scheduler == "sync":
        # Failures print as a local run prints them (Dask may order
        # independent nodes differently).
        with replaced_stderr() as dask_errors:
            compute(scheduler, to_dask(dag, **run_args))
        assert sorted(dask_errors.text.splitlines()) == sorted(local_errors.text.splitlines())


DIFFERENTIAL = settings(deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize("scheduler", ["sync", "threads"])
@settings(DIFFERENTIAL, max_examples=60)
@given(spec=graph_specs(), run=run_specs)
def test_local_schedulers_give_the_results_of_execute(compute, scheduler, spec, run):
    check_both_modes(compute, scheduler, spec, run)


@pytest.mark.parametrize("scheduler", ["processes", "distributed"])
@settings(DIFFERENTIAL, max_examples=12)
@given(spec=graph_specs(), run=run_specs)
def test_process_schedulers_give_the_results_of_execute(compute, scheduler, spec, run):
    check_both_modes(compute, scheduler, spec, run)


@corvane.node(returns=("low", "high"))
def bounds(rows, pad=0):
    return min(rows) - pad, max(rows) + pad


@pytest.mark.parametrize("scheduler", ["sync", "processes", "distributed"])
def test_decorated_nodes_run_through_their_node_form(compute, scheduler):
    graph = corvane.Graph()
    graph.add(bounds, params={"pad": 1})
    graph.add(bounds, inputs=[("numbers", "rows")], outputs=[("low", "least")])
    dag = graph.build()
    run_args = {"inputs": {"rows": [3, 5], "numbers": [7, 9]}}
    (result,) = compute(scheduler, to_dask(dag, **run_args))
    assert (
        result
        == dag.execute(**run_args)
        == {
            "rows": [3, 5],
            "numbers": [7, 9],
            "low": 2,
            "high": 6,
            "least": 7,
        }
    )


def test_exports_with_other_inputs_or_targets_compute_together():
    def double(inputs, params):
        return {"y": 2 * inputs["x"] + params["offset"]}

    graph = corvane.Graph()
    graph.add(double, inputs=["x"], outputs=["y"], params={"offset": 1})
    graph.add(lambda i, p: {"z": -i["y"]}, inputs=["y"], outputs=["z"])
    dag = graph.build()
    exports = [
        to_dask(dag, inputs={"x": 1}),
        to_dask(dag, inputs={"x": 2}),
        to_dask(dag, inputs={"x": 2}, targets=["y"]),
        to_dask(dag, inputs={"x": 2}, targets=["x"]),
    ]
    assert len({export.key for export in exports}) == len(exports)
    assert to_dask(dag, inputs={"x": 1}).key == exports[0].key
    assert dask.compute(*exports, scheduler="sync") == (
        {"x": 1, "y": 3, "z": -3},
        {"x": 2, "y": 5, "z": -5},
        {"y": 5},
        {"x": 2},
    )


def test_a_node_receives_its_inputs_in_mapping_order():
    seen = []

    def record(inputs, params):
        seen.append((list(inputs), list(params)))
        return {}

    graph = corvane.Graph()
    graph.add(record, inputs=["e", "c", ("a", "z"), "d", "b"], params={"q": 1, "p": 2})
    dag = graph.build()
    given = dict.fromkeys("abcde", 0)
    to_dask(dag, parallel=True, inputs=given).compute(scheduler="sync")
    dag.execute(inputs=given)
    assert seen == [(["e", "c", "z", "d", "b"], ["q", "p"])] * 2


@pytest.mark.parametrize(
    "arguments, error, text",
    [
        ({"parallel": 1}, TypeError, "parallel must be True, False or 'dataflow'"),
        ({"parallel": "flow"}, TypeError, "parallel must be True, False or 'dataflow'"),
        ({"parallel": None}, TypeError, "parallel must be True, False or 'dataflow'"),
        (
            {"inputs": [("x", 1)]},
            TypeError,
            "inputs must be a mapping from str to objects, got list",
        ),
        ({"inputs": {1: "x"}}, TypeError, "inputs keys must be str, got int"),
        ({"targets": ["nowhere"]}, ValueError, "unknown target 'nowhere'"),
        ({"targets": [3]}, TypeError, "expected str items, got int"),
    ],
)
def test_bad_arguments_raise_before_any_graph_is_made(arguments, error, text):
    graph = corvane.Graph()
    graph.add(lambda i, p: {"y": 1}, outputs=["y"])
    with pytest.raises(error, match=text):
        to_dask(graph.build(), **arguments)


def test_two_dags_computed_together_keep_their_own_keys_and_runs():
    calls = []

    def count(inputs, params):
        calls.append(1)
        return {"y": len(calls)}

    first, second = (chain(node(count, outputs={"y": "y"})).build() for _ in range(2))
    exports = [to_dask(first), to_dask(second), to_dask(first, parallel=True)]
    assert len({export.key for export in exports}) == 3
    assert to_dask(first).key == exports[0].key
    results = dask.compute(*exports, scheduler="sync")
    assert sorted(result["y"] for result in results) == [1, 2, 3]


@pytest.mark.parametrize("scheduler", ["sync", "threads"])
@pytest.mark.parametrize("parallel", [False, True])
def test_returned_objects_keep_their_identity(scheduler, parallel):
    value = [1, 2]
    dag = chain(
        node(lambda i, p: {"y": value}, outputs={"y": "v"}),
        node(lambda i, p: {"same": i["v"]}, inputs={"v": "v"}, outputs={"same": "w"}),
    )
    result = to_dask(dag.build(), parallel).compute(scheduler=scheduler)
    assert result["v"] is value and result["w"] is value


class Boom(Exception):
    pass


def raise_boom(inputs, params):
    raise Boom("node failed")


@pytest.mark.parametrize(
    "function, error, text",
    [
        (raise_boom, Boom, "node failed"),
        (lambda i, p: None, TypeError, "did not return a dict: node 1 'failing' returned NoneType"),
        (lambda i: {}, TypeError, "positional argument"),
    ],
)
@pytest.mark.parametrize("parallel", [False, True])
def test_raise_on_failure_fails_the_computation_with_the_node_error(
    function, error, text, parallel
):
    after = []
    dag = chain(
        node(lambda i, p: {"y": 1}, outputs={"y": "x"}),
        node(function, label="failing", outputs={"y": "x"}),
        node(lambda i, p: after.append(1) or {}),
    )
    dag = dag.build()
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")) as raised:
        to_dask(dag, parallel, raise_on_failure=True).compute(scheduler="sync")
    assert after == []
    # As a strict local run raises it: the same message, the same note.
    with pytest.raises(error) as local:
        dag.execute(parallel, raise_on_failure=True)
    assert str(raised.value) == str(local.value)
    assert getattr(raised.value, "__notes__", None) == getattr(local.value, "__notes__", None)
    with replaced_stderr():
        assert to_dask(dag, parallel).compute(scheduler="sync") == {"x": 1}
    assert after == [1]


@pytest.mark.parametrize("parallel", [False, True, "dataflow"])
def test_a_planned_node_runs_though_no_task_reads_its_writes(parallel):
    # The target's writer has no function: nothing reads the failing node's
    # write, but a local run calls it, so the export must too.
    dag = chain(
        node(raise_boom, outputs={"y": "x"}), node(None, inputs={"x": "x"}, outputs={"x": "t"})
    ).build()
    with pytest.raises(Boom):
        dag.execute(parallel, targets=["t"], raise_on_failure=True)
    with pytest.raises(Boom):
        to_dask(dag, parallel, True, targets=["t"]).compute(scheduler="sync")


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit])
def test_interrupts_propagate_whatever_the_failure_mode(stop):
    def interrupt(inputs, params):
        raise stop("stop")

    dag = chain(node(interrupt)).build()
    with replaced_stderr() as errors, pytest.raises(stop):
        to_dask(dag).compute(scheduler="sync")
    assert errors.text == ""


@pytest.mark.parametrize(
    "scheduler, unwrap",
    [
        ("processes", lambda error: error),
        ("distributed", lambda error: error.__cause__),
    ],
)
def test_unpicklable_function_is_reported_with_its_node(compute, scheduler, unwrap, monkeypatch):
    # The client logs the whole graph on failure, and Dask's own repr of it
    # fails under pytest's log capture.
    monkeypatch.setattr(logging.getLogger("distributed.protocol.pickle"), "disabled", True)
    lock = threading.Lock()
    dag = chain(
        node(lambda i, p: {"y": 1}, outputs={"y": "x"}),
        node(lambda i, p: {"held": lock.locked()}, label="holds a lock"),
    ).build()
    with pytest.raises(Exception) as raised:
        compute(scheduler, to_dask(dag))
    reported = unwrap(raised.value)
    assert isinstance(reported, pickle.PicklingError)
    assert "node 1 'holds a lock'" in str(reported)


def test_graph_grows_linearly_on_a_chain_that_overwrites_one_name():
    steps = [
        node(lambda i, p: {"v": i.get("v", 0) + 1}, inputs={"v": "v"}, outputs={"v": "v"})
        for _ in range(300)
    ]
    export = to_dask(chain(*steps).build())
    graph = dict(export.__dask_graph__())
    # One task per node, one per written name, one for the context.
    assert len(graph) == 601
    assert max(len(task) for task in graph.values()) <= 3
    assert export.compute(scheduler="sync") == {"v": 300}


def tasks_by_what_they_compute(export):
    """An export's tasks, each as its callable and the tasks it reads, which
    do not depend on the key names."""
    named = {}
    # Every task comes after the tasks it reads.
    for key, (function, *reads) in dict(export.__dask_graph__()).items():
        named[key] = (repr(function), tuple(named[read] for read in reads))
    return collections.Counter(named.values())


def increments(inputs, params):
    return {"v": inputs.get("v", 0) + 1}


@pytest.mark.parametrize(
    "dag",
    [
        chain(*[node(increments, inputs={"v": "v"}, outputs={"v": "v"})] * 20).build(),
        fan_out(
            node(increments, outputs={"v": "v"}),
            *[[node(increments, inputs={"v": "v"}, outputs={"v": f"v{k}"})] for k in range(8)],
        ),
    ],
    ids=["chain", "level"],
)
def test_dataflow_export_is_the_level_export_where_the_modes_agree(dag):
    assert tasks_by_what_they_compute(
        to_dask(dag, parallel="dataflow")
    ) == tasks_by_what_they_compute(to_dask(dag, parallel=True))


def test_tasks_are_grouped_by_function_and_by_written_name():
    # The scheduler spreads a wide group of slow tasks over the cluster only
    # when it is a group of its own, fed by small groups.
    def seed(inputs, params):
        return {"s": 1}

    dag = chain(node(seed, outputs={"s": "seed"}), node(raise_boom, inputs={"seed": "s"})).build()
    groups = {key_split(key) for key in to_dask(dag).__dask_graph__()}
    assert groups == {"seed", "seed.value", "raise_boom", "corvane"}


def test_import_without_dask():
    process = run_python("""
        import sys

        class HideDask:
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] in ("dask", "distributed"):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
                return None

        sys.meta_path.insert(0, HideDask())
        import corvane
        graph = corvane.Graph()
        graph.add(lambda i, p: {"y": 1}, outputs={"y": "y"})
        assert graph.build().execute() == {"y": 1}
        try:
            import corvane.dask
        except ImportError as error:
            print(error)
    """)
    assert process.returncode == 0, process.stderr
    assert "pip install corvane[dask]" in process.stdout
