import pytest

import corvane

GRAPH_CONSUMED = "^Graph has already been built or consumed$"
SUBGRAPH_CONSUMED = "^Subgraph has already been built or consumed$"
ALREADY_BUILT = "^Graph has already been built$"


def built_graph():
    graph = corvane.Graph()
    graph.build()
    return graph


def branched_graph():
    graph = corvane.Graph()
    corvane.Graph().branch(graph)
    return graph


@pytest.mark.parametrize("consume", [built_graph, branched_graph], ids=["built", "branched"])
class TestConsumedGraph:
    def test_add_is_refused(self, consume):
        with pytest.raises(ValueError, match=GRAPH_CONSUMED):
            consume().add()

    def test_branch_is_refused_and_leaves_the_argument_open(self, consume):
        subgraph = corvane.Graph()
        subgraph.add(label="kept")
        with pytest.raises(ValueError, match=GRAPH_CONSUMED):
            consume().branch(subgraph)
        # The subgraph was not taken: it still builds, with its node.
        assert '0["kept"]' in subgraph.build().to_mermaid()

    def test_being_passed_as_subgraph_is_refused_and_leaves_the_receiver_unchanged(self, consume):
        receiver = corvane.Graph()
        receiver.add(label="a")
        with pytest.raises(ValueError, match=SUBGRAPH_CONSUMED):
            receiver.branch(consume())
        # The failed branch used up no branch id and attached nothing.
        assert receiver.branch(corvane.Graph()) == 1
        assert receiver.build().to_mermaid() == 'graph TD\n    0["a"]\n'

    def test_build_is_refused(self, consume):
        with pytest.raises(ValueError, match=ALREADY_BUILT):
            consume().build()

    def test_stays_an_ordinary_object(self, consume):
        graph = consume()
        del graph


def test_open_graph_adds_nodes_and_returns_itself():
    graph = corvane.Graph()
    assert graph.add() is graph
    assert graph.add(None, None, None, None, None).join() is graph
    graph = corvane.Graph().add().add(None, None, None, None)
    assert graph.add(function=None, label=None, inputs=None, outputs=None, params=None) is graph
    assert graph.build().to_mermaid() == (
        'graph TD\n    0["Node 0"]\n    1["Node 1"]\n    2["Node 2"]\n    0 --> 1\n    1 --> 2\n'
    )


def test_branch_returns_ids_counting_from_one():
    graph = corvane.Graph()
    graph.add()
    assert [graph.branch(corvane.Graph()) for _ in range(3)] == [1, 2, 3]
    assert type(graph.branch(corvane.Graph())) is int


def test_graph_passed_to_its_own_branch_is_refused():
    graph = corvane.Graph()
    graph.add(label="only")
    with pytest.raises(ValueError, match="^a graph cannot be its own branch$"):
        graph.branch(graph)
    # Nothing changed: the graph is still open and the next branch id is 1.
    assert graph.branch(corvane.Graph()) == 1
    assert graph.build().to_mermaid() == 'graph TD\n    0["only"]\n'


def test_consumed_graph_passed_to_itself_is_refused():
    graph = built_graph()
    with pytest.raises(ValueError, match="^a graph cannot be its own branch$"):
        graph.branch(graph)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda g: g.add(label=1), "^argument 'label': "),
        (lambda g: g.add(None, b"bytes"), "^argument 'label': "),
        (lambda g: g.branch(42), "^argument 'subgraph': "),
        (lambda g: g.branch(subgraph=corvane.Graph().build()), "^argument 'subgraph': "),
    ],
)
def test_wrong_argument_types_carry_the_argument_prefix(call, message):
    graph = corvane.Graph()
    with pytest.raises(TypeError, match=message):
        call(graph)
    # Nothing was added.
    assert graph.build().to_mermaid() == "graph TD\n"


@pytest.mark.parametrize(
    "call",
    [
        lambda g: g.add(None, None, None, None, None, None),
        lambda g: g.add(colour="red"),
        lambda g: g.add(None, function=None),
        lambda g: g.branch(),
        lambda g: g.branch(corvane.Graph(), corvane.Graph()),
        lambda g: g.branch(graph=corvane.Graph()),
        lambda g: g.build(1),
        lambda g: g.build(force=True),
    ],
)
def test_calls_that_do_not_fit_the_parameters_raise_type_error(call):
    graph = corvane.Graph()
    with pytest.raises(TypeError):
        call(graph)
    graph.build()


def test_parameters_by_keyword_and_by_position_are_equivalent():
    first, second = corvane.Graph(), corvane.Graph()
    first.add(None, "n", {"a": "b"}, [("c", "d")])
    second.add(outputs=[("c", "d")], inputs={"a": "b"}, label="n", function=None)
    assert first.build().to_mermaid() == second.build().to_mermaid()
    first, second = corvane.Graph(), corvane.Graph()
    first.add()
    second.add()
    assert first.branch(corvane.Graph()) == second.branch(subgraph=corvane.Graph())


def test_dag_survives_its_graph_and_the_graph_survives_its_dag():
    graph = corvane.Graph()
    graph.add(lambda inputs, params: {"x": 1}, outputs={"x": "x"})
    dag = graph.build()
    del graph
    assert dag.execute() == {"x": 1}
