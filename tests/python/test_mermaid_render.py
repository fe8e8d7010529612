"""`Dag.to_mermaid()` texts drawn by the real Mermaid library in a headless
browser: each must parse and show every node, every edge and the words of
every label.

The browser starts once for the session and draws every case in one page
load. Without a browser (see scripts/install_mermaid_renderer.sh) the tests
skip, unless CORVANE_REQUIRE_RENDERER=1 makes that a failure.
"""

import re
import string
from collections import Counter
from dataclasses import dataclass, field
from itertools import permutations

import pytest

import corvane
from conftest import chain, node
from mermaid_browser import elements

# Each punctuation character alone, and before, between and after digits:
# `<` before a letter opens an HTML tag, which Mermaid reads as markup.
PUNCTUATION = string.punctuation
# Whitespace JavaScript's lexer skips, and characters around which Mermaid's
# bare edge labels change meaning: names and labels are tried with each.
AWKWARD = [
    "données",
    "中文",
    "😀 ok",
    "עברית",
    "e\u0301",
    "\u3000~~~",
    "~~~",
    "a\u3000@b",
    "é@",
    "@",
]


@dataclass
class Case:
    """A built graph and what its drawing must show."""

    dag: corvane.Dag
    labels: list[str]  # what every node shows, in any order
    items: list[list[str]] = field(default_factory=list)  # per labelled edge, its items

    @property
    def edges(self):
        # Every graph made of chains and branches is a tree.
        return len(self.labels) - 1


def relay(steps):
    """A chain in which each node hands one variable to the next.

    `steps` holds (label, broadcast name, implementation name) per node; a
    node outputs its broadcast name and the next node takes it in under its
    implementation name.
    """
    graph = corvane.Graph()
    previous = None
    for label, broadcast, implementation in steps:
        inputs = {previous[0]: previous[1]} if previous else None
        graph.add(label=label, inputs=inputs, outputs={"out": broadcast})
        previous = (broadcast, implementation)
    return Case(
        graph.build(),
        [label for label, _, _ in steps],
        [[f"{b} → {i}"] for _, b, i in steps[:-1]],
    )


def example():
    graph = chain(node(label="load", outputs={"x": "data"}))
    graph.branch(chain(node(label="alt")))
    graph.add(inputs={"data": "x"})
    return Case(graph.build(), ["load", "alt", "Node 1"], [["data → x"]])


def nested_branches():
    inner = chain(node(label="inner (1)"), node(label="inner [2]"))
    middle = chain(node(label="middle", outputs={"m": "f(m)"}))
    middle.branch(inner)
    middle.add(label="after inner", inputs={"f(m)": "m"})
    graph = chain(node(label="root", outputs={"r": "r|s"}))
    graph.branch(middle)
    graph.branch(chain(node(label="side", inputs={"r|s": "r"})))
    graph.add(label="tail", inputs={"r|s": "t"})
    labels = ["root", "middle", "inner (1)", "inner [2]", "after inner", "side", "tail"]
    return Case(graph.build(), labels, [["f(m) → m"], ["r|s → r"], ["r|s → t"]])


def two_items_on_one_edge():
    graph = chain(node(label="a", outputs={"p": "x(1)", "q": "y"}))
    graph.add(label="b", inputs={"x(1)": "u", "y": "v"})
    return Case(graph.build(), ["a", "b"], [["x(1) → u", "y → v"]])


def punctuation_in_labels():
    labels = [PUNCTUATION, "", " "]
    for c in PUNCTUATION:
        labels += [c, f"{c}1", f"2{c}3", f"4{c}"]
    return Case(chain(*(node(label=label) for label in labels)).build(), labels)


def punctuation_in_names():
    steps = [("all", PUNCTUATION, PUNCTUATION)]
    for n, c in enumerate(PUNCTUATION):
        steps += [(f"{n}a", c, f"5{c}"), (f"{n}b", f"{c}1", f"1{c}"), (f"{n}c", f"2{c}3", c)]
    return relay(steps + [("last", "done", "done")])


def unicode_and_spaces():
    steps = [(f"{text} node", text, f"{text} in") for text in AWKWARD]
    steps += [(text, f"x {text}", text) for text in AWKWARD]
    return relay(steps + [("last", "done", "done")])


def line_feeds():
    return relay([("two\nlines", "a\nb", "c\nd"), ("\n", "\n", "x\n"), ("end\n", "e", "e")])


def markup_across_labels():
    # An open tag in one label, `=` ending others and `>` in a later one, and
    # lines starting with "%%": Mermaid rewrites or drops those before parsing.
    written = ["<start", "=", "end=", "mid=dle", ">", "a\n%% b", "\n  %%{x}"]
    shown = ["", "=", "end=", "mid=dle", ">", "a%% b", "%%{x}"]
    return Case(chain(*(node(label=label) for label in written)).build(), shown)


def fan_out(width):
    graph = chain(node(label="root", outputs={"r": "rows[0]"}))
    for n in range(width):
        graph.branch(chain(node(label=f"leaf {n}", inputs={"rows[0]": f"r{n}"})))
    labels = ["root"] + [f"leaf {n}" for n in range(width)]
    return Case(graph.build(), labels, [[f"rows[0] → r{n}"] for n in range(width)])


CASES = {
    "example": example,
    "nested_branches": nested_branches,
    "two_items_on_one_edge": two_items_on_one_edge,
    "punctuation_in_labels": punctuation_in_labels,
    "punctuation_in_names": punctuation_in_names,
    "unicode_and_spaces": unicode_and_spaces,
    "line_feeds": line_feeds,
    "markup_across_labels": markup_across_labels,
    "fan_out_500": lambda: fan_out(500),
}

# Mermaid refuses this, so the session's page load must report an error:
# the check that a broken text cannot pass for a drawn one.
BROKEN = "graph TD\n    0 -->|f(x) → y| 1\n"


@pytest.fixture(scope="session")
def drawn(renderer):
    cases = {name: build() for name, build in CASES.items()}
    texts = [case.dag.to_mermaid() for case in cases.values()] + [BROKEN]
    *results, broken = renderer.render_all(texts)
    return dict(zip(cases, zip(cases.values(), texts, results, strict=False), strict=False)), broken


def squeeze(text):
    """The words of a text without its whitespace, the way they can be
    compared with an SVG's text (line feeds become <br> there)."""
    return "".join(text.replace("<br/>", "").split())


def flowchart(svg):
    """A drawing's node labels by node id, its edges as (from, to) pairs, and
    its edge labels by edge."""
    nodes, edges, edge_labels = {}, set(), {}
    for element in elements(svg):
        if element.tag == "g" and "node" in element.classes:
            nodes[int(re.fullmatch(r".*-flowchart-(\d+)-\d+", element.id)[1])] = element.text
        link = re.fullmatch(r"L_(\d+)_(\d+)_\d+", element.attributes.get("data-id", ""))
        if link and "flowchart-link" in element.classes:
            edges.add((int(link[1]), int(link[2])))
        elif link and element.tag == "g" and "label" in element.classes:
            edge_labels[int(link[1]), int(link[2])] = element.text
    return nodes, edges, edge_labels


@pytest.mark.parametrize("name", CASES)
def test_mermaid_draws_every_node_edge_and_label(drawn, name):
    case, text, result = drawn[0][name]
    assert result.ok, f"{result.error}\n--- text ---\n{text}"
    nodes, edges, edge_labels = flowchart(result.svg)
    assert sorted(nodes) == list(range(len(case.labels)))
    assert Counter(map(squeeze, nodes.values())) == Counter(map(squeeze, case.labels))
    assert len(edges) == case.edges and all(a in nodes and b in nodes for a, b in edges)
    shown = Counter(squeeze(label) for label in edge_labels.values() if label)
    expected = Counter()
    for items in case.items:
        orders = {"".join(map(squeeze, order)) for order in permutations(items)}
        expected[next((o for o in orders if o in shown), min(orders))] += 1
    assert shown == expected


def test_a_text_mermaid_refuses_comes_back_as_its_error(drawn):
    broken = drawn[1]
    assert not broken.ok and "Parse error" in broken.error and broken.svg is None
