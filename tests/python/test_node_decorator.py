"""corvane.node: a plain function as a node function, and still a function."""

import copy
import pickle

import pytest

import corvane
from conftest import run_python


@corvane.node
def scaled(rows, factor=2):
    """Every row times the factor."""
    return [row * factor for row in rows]


@corvane.node(returns="total")
def summed(scaled):
    return sum(scaled)


@corvane.node(returns=("low", "high"))
def bounds(rows):
    return min(rows), max(rows)


@corvane.node(returns=("low", "high"))
def three_values(rows):
    return 1, 2, 3


@corvane.node(returns=("low", "high"))
def not_a_sequence(rows):
    return 7


@corvane.node(returns=())
def side_effect(rows):
    return "ignored"


@corvane.node
def options(*, rows, **settings):
    return (len(rows), sorted(settings.items()))


def run(function, given, params=None, **add):
    graph = corvane.Graph()
    graph.add(function, params=params, **add)
    return graph.build().execute_detailed(inputs=given)


@pytest.mark.parametrize(
    "function, inputs, params, context",
    [
        # A default no input supplies is kept.
        (scaled, {"rows": [1, 2]}, None, {"rows": [1, 2], "scaled": [2, 4]}),
        (scaled, {"rows": [1], "factor": 3}, None, {"rows": [1], "factor": 3, "scaled": [3]}),
        # A param supplies a parameter; an input of the same name wins over it.
        (scaled, {"rows": [1]}, {"factor": 5}, {"rows": [1], "scaled": [5]}),
        (
            scaled,
            {"rows": [1], "factor": 3},
            {"factor": 5},
            {"rows": [1], "factor": 3, "scaled": [3]},
        ),
        (summed, {"scaled": [1, 2]}, None, {"scaled": [1, 2], "total": 3}),
        (bounds, {"rows": [4, 1, 9]}, None, {"rows": [4, 1, 9], "low": 1, "high": 9}),
        (side_effect, {"rows": []}, None, {"rows": []}),
        # Params a function takes as **settings reach it by name.
        (
            options,
            {"rows": [0]},
            {"mode": "fast"},
            {"rows": [0], "options": (1, [("mode", "fast")])},
        ),
    ],
)
def test_a_decorated_node_reads_and_writes_its_own_names(function, inputs, params, context):
    result = run(function, inputs, params)
    assert result.failures == {}
    assert result.context == context


@pytest.mark.parametrize(
    "function, error, words",
    [
        (three_values, ValueError, ["three_values", "returned 3 values", "('low', 'high')"]),
        (not_a_sequence, TypeError, ["not_a_sequence", "int", "('low', 'high')"]),
        (summed, TypeError, ["summed", "scaled"]),  # a missing input without default
    ],
)
def test_a_result_that_does_not_fit_fails_the_node_naming_function_and_names(
    function, error, words
):
    result = run(function, {"rows": [1]}, label="fit")
    assert set(result.failures) == {0}
    failure = result.failures[0]
    assert isinstance(failure, error)
    for word in words:
        assert word in str(failure)
    assert result.context == {"rows": [1]}


def test_explicit_mappings_replace_the_declared_names():
    result = run(scaled, {"data": [1, 2]}, inputs={"data": "rows"}, outputs=[("scaled", "out")])
    assert result.context == {"data": [1, 2], "out": [2, 4]}


def test_join_takes_the_declared_names_too():
    graph = corvane.Graph()
    graph.add(scaled)
    branch = corvane.Graph()
    branch.add(bounds)
    graph.branch(branch)
    graph.join(summed)
    dag = graph.build()
    assert dag.execute(inputs={"rows": [3, 1]}) == {
        "rows": [3, 1],
        "scaled": [6, 2],
        "low": 1,
        "high": 3,
        "total": 8,
    }
    assert [node.function for node in dag.nodes] == [scaled, summed, bounds]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: scaled([1, 2]), [2, 4]),
        (lambda: scaled([1], 10), [10]),
        (lambda: scaled(rows=[1], factor=3), [3]),
        (lambda: bounds([5, 2]), (2, 5)),
        (lambda: side_effect([]), "ignored"),
    ],
)
def test_calling_the_decorated_object_calls_the_plain_function(call, expected):
    assert call() == expected


def test_the_decorated_object_keeps_the_function_identity():
    assert scaled.__name__ == "scaled"
    assert scaled.__qualname__ == "scaled"
    assert scaled.__doc__ == "Every row times the factor."
    assert scaled.__module__ == __name__
    assert scaled.__wrapped__([1]) == [2]
    assert not isinstance(scaled.__wrapped__, type(scaled))


@pytest.mark.parametrize("function", [scaled, summed, bounds])
def test_pickles_and_copies_by_reference(function):
    assert pickle.loads(pickle.dumps(function)) is function
    assert copy.deepcopy(function) is function


def test_a_local_decorated_function_pickles_by_value_where_the_pickler_can():
    cloudpickle = pytest.importorskip("cloudpickle")

    @corvane.node(returns="doubled")
    def double(x):
        return 2 * x

    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(double)
    restored = pickle.loads(cloudpickle.dumps(double))
    assert restored is not double
    assert restored(4) == 8
    assert restored.__corvane_node__[1:] == double.__corvane_node__[1:]


@pytest.mark.parametrize(
    "make, error, text",
    [
        (lambda: corvane.node(returns=3), TypeError, "returns must be a str or a tuple"),
        (lambda: corvane.node(returns=("a", 1)), TypeError, "returns must be a str or a tuple"),
        (lambda: corvane.node(returns=("a", "a")), ValueError, "twice"),
        (lambda: corvane.node(lambda x, /: x), TypeError, "by position only"),
        (lambda: corvane.node(lambda *rows: rows), TypeError, "by position only"),
    ],
)
def test_decorating_rejects_what_a_node_cannot_call(make, error, text):
    with pytest.raises(error, match=text):
        make()


def test_mypy_accepts_decorated_objects_in_add_and_keeps_their_signature(tmp_path):
    api = pytest.importorskip("mypy.api")
    program = tmp_path / "program.py"
    program.write_text(
        "import corvane\n"
        "\n"
        "@corvane.node\n"
        "def scaled(rows: list[int], factor: int = 2) -> list[int]:\n"
        "    return [row * factor for row in rows]\n"
        "\n"
        "@corvane.node(returns=('low', 'high'))\n"
        "def bounds(rows: list[int]) -> tuple[int, int]:\n"
        "    return min(rows), max(rows)\n"
        "\n"
        "graph = corvane.Graph().add(scaled).join(bounds, params={'k': 1})\n"
        "doubled: list[int] = scaled([1], factor=3)\n"
        "low: int = bounds([1])[0]\n"
        "scaled('not a list')  # E: wrong argument\n"
    )
    report, errors, status = api.run(
        ["--strict", "--cache-dir", str(tmp_path / "cache"), str(program)]
    )
    assert status == 1, report + errors
    assert report.count("error:") == 1, report
    assert "program.py:14:" in report and "arg-type" in report, report


def test_a_decorated_main_function_pickles_by_reference_in_a_child_process():
    process = run_python("""
        import pickle
        import corvane

        @corvane.node
        def twice(x):
            return 2 * x

        assert pickle.loads(pickle.dumps(twice)) is twice
        graph = corvane.Graph()
        graph.add(twice)
        print(graph.build().execute(inputs={"x": 21}))
    """)
    assert process.returncode == 0, process.stderr
    assert process.stdout == "{'x': 21, 'twice': 42}\n"
