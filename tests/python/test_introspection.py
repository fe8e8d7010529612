import gc
import weakref

import pytest

import corvane


def noop(inputs, params):
    return {}


@pytest.fixture
def nested():
    """a -> z, with a branch b0 -> b1 hanging from a, and c0 nested in it, hanging from b0."""
    inner = corvane.Graph()
    inner.add(noop, label="c0", inputs={"b": "x"})
    branch = corvane.Graph()
    branch.add(noop, label="b0", inputs={"a": "a_in"}, outputs={"o": "b"})
    branch.branch(inner)
    branch.add(label="b1")
    graph = corvane.Graph()
    graph.add(noop, label="a", outputs=[("o", "a")])
    graph.branch(branch)
    graph.add(noop, label="z", inputs=[("a", "q")])
    return graph.build()


# label: (function, inputs, outputs, dependencies by label, branch id, entry)
NESTED = {
    "a": (noop, {}, {"o": "a"}, (), None, False),
    "z": (noop, {"a": "q"}, {}, ("a",), None, False),
    "b0": (noop, {"a": "a_in"}, {"o": "b"}, ("a",), 1, True),
    "b1": (None, {}, {}, ("b0",), 1, False),
    "c0": (noop, {"b": "x"}, {}, ("b0",), 1, True),
}


def test_nodes_describe_what_was_added(nested):
    nodes = nested.nodes
    assert len(nested) == len(nodes) == len(NESTED)
    assert [info.id for info in nodes] == list(range(len(nodes)))
    label_of = {info.id: info.label for info in nodes}
    for info in nodes:
        function, inputs, outputs, dependencies, branch_id, entry = NESTED[info.label]
        assert info.function is function
        assert (info.inputs, info.outputs) == (inputs, outputs)
        assert tuple(label_of[d] for d in info.dependencies) == dependencies
        assert (info.branch_id, info.is_branch_entry) == (branch_id, entry)
    assert repr(nodes[0]).startswith("corvane.NodeInfo(id=0, label='a', function=")


@pytest.mark.parametrize("parallel", [False, True])
def test_order_and_levels_match_a_run(parallel):
    ran = []

    def recorder():
        def record(inputs, params):
            ran.append(record)
            return {}

        return record

    graph = corvane.Graph()
    graph.add(recorder())
    for length in (2, 1, 3):
        branch = corvane.Graph()
        for _ in range(length):
            branch.add(recorder())
        graph.branch(branch)
    graph.add(recorder())
    dag = graph.build()
    dag.execute(parallel)
    id_of = {info.function: info.id for info in dag.nodes}
    run_order = [id_of[function] for function in ran]
    if not parallel:
        assert tuple(run_order) == dag.execution_order
    position = {node: at for at, node in enumerate(run_order)}
    # Every node of a level runs after every node of the level before it.
    for earlier, later in zip(dag.levels, dag.levels[1:], strict=False):
        assert max(position[n] for n in earlier) < min(position[n] for n in later)
    assert sorted(run_order) == sorted(n for level in dag.levels for n in level)


@pytest.mark.parametrize("field", corvane.NodeInfo.__match_args__)
def test_node_info_cannot_be_changed(nested, field):
    info = nested.nodes[0]
    with pytest.raises(AttributeError):
        setattr(info, field, None)
    info.inputs["extra"] = "x"
    assert nested.nodes[0].inputs == {}


def test_node_info_keeps_function_alive_and_cycles_are_collected():
    class Pipeline:
        def step(self, inputs, params):
            return {}

    pipeline = Pipeline()
    graph = corvane.Graph()
    graph.add(pipeline.step)
    pipeline.nodes = graph.build().nodes  # pipeline -> NodeInfo -> bound method -> pipeline
    alive = weakref.ref(pipeline)
    step = pipeline.nodes[0].function
    del pipeline, graph
    gc.collect()
    assert alive() is not None and step.__self__ is alive()
    del step
    gc.collect()
    assert alive() is None


def fan_out(width, label=None):
    graph = corvane.Graph()
    graph.add(label=label)
    for _ in range(width):
        branch = corvane.Graph()
        branch.add()
        graph.branch(branch)
    return graph.build()


@pytest.mark.parametrize(
    "dag, drawn",
    [
        (fan_out(500), True),
        (fan_out(501), False),
        (fan_out(1, label="x" * 49_900), True),
        (fan_out(1, label="x" * 50_000), False),
        (fan_out(1, label="\U0001f600" * 25_000), False),  # two UTF-16 units each
    ],
)
def test_markdown_draws_what_mermaid_hosts_accept(dag, drawn):
    markdown = dag._repr_markdown_()
    if drawn:
        assert markdown == f"```mermaid\n{dag.to_mermaid()}```\n"
    else:
        edges = len(dag) - 1
        assert f"{len(dag)} nodes, 2 levels, {edges} edge" in markdown
        assert "to_mermaid()" in markdown and "```" not in markdown
