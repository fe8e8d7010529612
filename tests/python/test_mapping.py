from collections import OrderedDict

import pytest

import corvane
from conftest import chain, node

WRONG_KIND = "^inputs/outputs must be a dict or list of tuples$"


class DictSubclass(dict):
    pass


class ListSubclass(list):
    pass


def received_inputs(inputs):
    """What a node with this `inputs` mapping receives from a context {a: 1, b: 2}."""
    seen = []
    dag = chain(
        node(lambda i, p: {"a": 1, "b": 2}, outputs={"a": "a", "b": "b"}),
        node(lambda i, p: seen.append(i) or {}, inputs=inputs),
    ).build()
    dag.execute()
    return seen[0]


@pytest.mark.parametrize(
    "inputs, expected",
    [
        ({"a": "x", "b": "y"}, {"x": 1, "y": 2}),
        ([("a", "x"), ("b", "y")], {"x": 1, "y": 2}),
        ([("a", "x"), ("a", "z")], {"z": 1}),
        (OrderedDict([("b", "y")]), {"y": 2}),
        (DictSubclass(a="x"), {"x": 1}),
        (ListSubclass([("b", "y")]), {"y": 2}),
        ([("a", "x"), ("missing", "m")], {"x": 1}),
        (["b", ("a", "x")], {"b": 2, "x": 1}),
        ({}, {}),
        ([], {}),
        (None, {}),
    ],
)
def test_inputs_mapping_renames_context_variables(inputs, expected):
    # In the mapping's order, whatever order the context holds them in.
    assert list(received_inputs(inputs).items()) == list(expected.items())


@pytest.mark.parametrize(
    "outputs, expected",
    [
        ({"r": "out"}, {"out": "r-value"}),
        ([("r", "one"), ("s", "two")], {"one": "r-value", "two": "s-value"}),
        ([("r", "first"), ("r", "second")], {"second": "r-value"}),
        ({}, {}),
        ([], {}),
    ],
)
def test_outputs_mapping_renames_results(outputs, expected):
    graph = corvane.Graph()
    graph.add(lambda i, p: {"r": "r-value", "s": "s-value"}, outputs=outputs)
    assert graph.build().execute() == expected


@pytest.mark.parametrize(
    "mapping, error, message",
    [
        ("ab", ValueError, WRONG_KIND),
        ((("a", "b"),), ValueError, WRONG_KIND),
        ({("a", "b")}, ValueError, WRONG_KIND),
        (42, ValueError, WRONG_KIND),
        ([["a", "b"]], TypeError, None),
        ([("a", "b"), b"ab"], TypeError, None),
        ([("a", "b", "c")], ValueError, "^expected tuple of length 2, but got tuple of length 3$"),
        ([("a",)], ValueError, "^expected tuple of length 2, but got tuple of length 1$"),
        ([(1, "b")], TypeError, None),
        ([("a", None)], TypeError, None),
        ({"a": 1}, TypeError, None),
        ({1: "a"}, TypeError, None),
        ({"a": "\ud800"}, UnicodeEncodeError, None),
        ([("\udfff", "a")], UnicodeEncodeError, None),
    ],
)
@pytest.mark.parametrize("argument", ["inputs", "outputs"])
def test_malformed_mappings_are_refused_unprefixed_and_add_no_node(
    argument, mapping, error, message
):
    graph = corvane.Graph()
    with pytest.raises(error, match=message) as raised:
        graph.add(**{argument: mapping})
    assert not str(raised.value).startswith("argument")
    assert graph.build().to_mermaid() == "graph TD\n"


def test_inputs_are_checked_before_outputs():
    with pytest.raises(ValueError, match=WRONG_KIND):
        corvane.Graph().add(inputs="bad", outputs=[("a", "b", "c")])
    with pytest.raises(TypeError):
        corvane.Graph().add(inputs=[["a", "b"]], outputs="bad")


def test_consumed_graph_is_reported_before_a_malformed_mapping():
    graph = corvane.Graph()
    graph.build()
    with pytest.raises(ValueError, match="^Graph has already been built or consumed$"):
        graph.add(inputs="bad")


def test_wrong_label_type_is_reported_before_a_consumed_graph():
    graph = corvane.Graph()
    graph.build()
    with pytest.raises(TypeError, match="^argument 'label': "):
        graph.add(label=3)


def test_result_dict_keeps_only_str_keys():
    class Key(str):
        pass

    graph = corvane.Graph()
    graph.add(
        lambda i, p: {"a": 1, 2: "b", ("t",): 3, Key("k"): 4, "\ud800": 5},
        outputs={"a": "a", "k": "k"},
    )
    assert graph.build().execute() == {"a": 1, "k": 4}


def test_names_travel_as_unicode_text():
    graph = corvane.Graph()
    graph.add(lambda i, p: {"größe": 1, "": 2}, outputs={"größe": "λ", "": "empty"})
    graph.add(
        lambda i, p: {"seen": sorted(i)},
        inputs={"λ": "ключ", "empty": ""},
        outputs={"seen": "seen"},
    )
    assert graph.build().execute() == {"λ": 1, "empty": 2, "seen": ["", "ключ"]}
