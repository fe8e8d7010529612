"""The shape of built graphs, seen through their Mermaid rendering."""

import corvane
from conftest import chain, node

STYLE = " fill:#e1f5ff\n"


def render(graph):
    return graph.build().to_mermaid()


def test_empty_graph_renders_the_header_alone():
    assert render(corvane.Graph()) == "graph TD\n"


def test_branch_entry_and_labelled_edge():
    graph = chain(node(label="load", outputs={"x": "data"}))
    graph.branch(chain(node(label="alt")))
    graph.add(inputs={"data": "x"})
    assert render(graph) == (
        "graph TD\n"
        '    0["load"]\n'
        '    1["Node 1"]\n'
        '    2["alt"]\n'
        "    0 -->|data → x| 1\n"
        "    0 --> 2\n"
        "    style 2" + STYLE
    )


def test_sibling_branches_hang_from_the_last_added_node():
    graph = chain(node(), node())
    graph.branch(chain(node()))
    graph.branch(chain(node(), node()))
    graph.add(label="after")
    graph.branch(chain(node(label="late")))
    assert render(graph) == (
        "graph TD\n"
        '    0["Node 0"]\n    1["Node 1"]\n    2["after"]\n'
        '    3["Node 3"]\n    4["Node 4"]\n    5["Node 5"]\n    6["late"]\n'
        "    0 --> 1\n    1 --> 2\n    1 --> 3\n    1 --> 4\n    4 --> 5\n    2 --> 6\n"
        "    style 3" + STYLE + "    style 4" + STYLE + "    style 6" + STYLE
    )


def test_nested_branch_hangs_from_its_subgraph_node_under_its_new_id():
    inner = chain(node(label="inner"))
    middle = chain(node(label="m0"), node(label="m1"))
    middle.branch(inner)
    graph = chain(node(label="root"))
    graph.branch(middle)
    assert render(graph) == (
        "graph TD\n"
        '    0["root"]\n    1["m0"]\n    2["m1"]\n    3["inner"]\n'
        "    0 --> 1\n    1 --> 2\n    2 --> 3\n"
        "    style 1" + STYLE + "    style 3" + STYLE
    )


def test_branch_on_an_empty_graph_keeps_the_subgraph_unattached():
    graph = corvane.Graph()
    assert graph.branch(chain(node(), node())) == 1
    assert render(graph) == 'graph TD\n    0["Node 0"]\n    1["Node 1"]\n    0 --> 1\n'


def test_edge_label_lists_every_input_fed_by_the_dependency():
    graph = chain(
        node(outputs={"p": "r", "q": "s", "unused": "t"}),
        node(inputs={"r": "x", "s": "y", "other": "z"}),
    )
    lines = render(graph).splitlines()
    edge = lines[3]
    assert edge.startswith("    0 -->|") and edge.endswith("| 1")
    assert sorted(edge[len("    0 -->|") : -len("| 1")].split("<br/>")) == ["r → x", "s → y"]
