import collections.abc
import sys
import threading
import time

import pytest

import corvane
from conftest import MODES, chain, fan_out, node, replaced_stderr, run_python


def not_a_dict(node_id, returned):
    return f"Error: Python function did not return a dict\nnode {node_id} returned {returned}\n"


class ReadOnlyMapping(collections.abc.Mapping):
    def __getitem__(self, key):
        return {"y": 1}[key]

    def __iter__(self):
        return iter(["y"])

    def __len__(self):
        return 1


class DictSubclass(dict):
    pass


def source(**values):
    return node(lambda i, p: dict(values), outputs={name: name for name in values})


def run_one(function, mode=None, **mapping):
    """Runs `function` after a node that provides x=1, both fanned out so
    that in parallel mode it runs on a worker thread."""
    dag = fan_out(source(x=1), [node(function, **mapping)], [node()])
    return dag.execute(**(mode or {}))


@pytest.mark.parametrize("mode", MODES)
def test_function_receives_two_fresh_dicts(mode):
    calls = []

    def record(inputs, params):
        calls.append((inputs, params))
        return {}

    run_one(record, mode, inputs={"x": "mine"})
    run_one(record, mode)
    (first_inputs, first_params), (bare_inputs, bare_params) = calls
    assert first_inputs == {"mine": 1} and type(first_inputs) is dict
    assert first_params == {} and type(first_params) is dict
    assert bare_inputs == {} and bare_params == {}
    assert first_inputs is not bare_inputs


VALUE = [1, 2]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "returned, written, reported",
    [
        # Anything but a dict is reported and yields nothing.
        *(
            (returned, {}, type(returned).__name__)
            for returned in [None, [("y", 1)], (("y", 1),), ReadOnlyMapping(), "y", 0]
        ),
        (DictSubclass(y=2), {"out": 2}, None),
        # Unmapped and non-str keys are dropped silently.
        ({"y": 1, "extra": 2, 3: "three"}, {"out": 1}, None),
        ({"y": VALUE}, {"out": VALUE}, None),
    ],
)
def test_results_are_written_through_the_output_mapping(mode, returned, written, reported):
    with replaced_stderr() as stderr:
        result = run_one(lambda i, p: returned, mode, outputs={"y": "out"})
    assert result == {"x": 1, **written}
    # Returned objects keep their identity.
    assert all(result[name] is value for name, value in written.items())
    assert stderr.writes == ([not_a_dict(1, reported)] if reported else [])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "function, error, traceback",
    [
        # Calls that fail before any Python frame runs have no traceback lines.
        (lambda inputs: {}, "TypeError", False),
        (42, "TypeError", False),
        (lambda i, p: {}["missing"], "KeyError", True),
        (lambda i, p: int("nope"), "ValueError", True),
    ],
)
def test_raising_functions_print_a_traceback_and_the_run_goes_on(mode, function, error, traceback):
    after = []
    dag = chain(
        source(x=1),
        node(function, outputs={"y": "y"}),
        node(lambda i, p: after.append(1) or {"z": 3}, outputs={"z": "z"}),
    ).build()
    for _ in range(2):
        with replaced_stderr() as stderr:
            assert dag.execute(**mode) == {"x": 1, "z": 3}
        lines = stderr.text.splitlines()
        assert (lines[0] == "Traceback (most recent call last):") == traceback
        assert lines[-2].startswith(error + ":")
        assert lines[-1] == "raised by node 1"
    assert after == [1, 1]
    # The traceback printing leaves the interpreter's last-exception variables alone.
    assert not hasattr(sys, "last_value") or not isinstance(sys.last_value, KeyError | ValueError)


def test_messages_are_written_to_the_stream_current_at_the_time(monkeypatch):
    dag = chain(node(lambda i, p: None)).build()
    first, second = [], []

    class Stream:
        def __init__(self, sink):
            self.write = sink.append

    monkeypatch.setattr(sys, "stderr", Stream(first))
    dag.execute()
    monkeypatch.setattr(sys, "stderr", Stream(second))
    dag.execute()
    assert first == second == [not_a_dict(0, "NoneType")]


@pytest.mark.parametrize("stream", [None, object(), "broken"])
def test_a_stream_that_cannot_be_written_is_ignored(monkeypatch, stream):
    class Broken:
        def write(self, text):
            raise OSError("disk full")

    monkeypatch.setattr(sys, "stderr", Broken() if stream == "broken" else stream)
    dag = chain(node(lambda i, p: None), node(lambda i, p: {"y": 1}, outputs={"y": "y"})).build()
    assert dag.execute() == {"y": 1}


def test_node_function_object_is_shared_by_concurrent_nodes():
    lock = threading.Lock()
    seen = []

    def shared(inputs, params):
        with lock:
            seen.append(threading.get_ident())
        time.sleep(0.01)
        return {"v": len(inputs)}

    dag = fan_out(node(), *[[node(shared, outputs={"v": f"v{k}"})] for k in range(4)])
    assert dag.execute(parallel=True) == {f"v{k}": 0 for k in range(4)}
    assert len(seen) == 4


def stop_graph(raised, log):
    """Levels: [root], [raiser, slow, late], [after]. With max_threads 2 the
    middle level runs as [raiser, slow], then [late]."""

    def raiser(i, p):
        raise raised

    def slow(i, p):
        time.sleep(0.1)
        log.append("slow")
        return {}

    return fan_out(
        node(lambda i, p: log.append("root") or {}),
        [node(raiser), node(lambda i, p: log.append("after") or {})],
        [node(slow)],
        [node(lambda i, p: log.append("late") or {})],
    )


@pytest.mark.parametrize("instance", [True, False], ids=["instance", "class"])
@pytest.mark.parametrize(
    "parallel, max_threads, settled",
    [
        (False, None, [["root"]]),
        # The slow node of the stopped chunk, if it had begun, ends in the
        # background; nothing after it begins.
        (True, 2, [["root"], ["root", "slow"]]),
        # The whole level begins at once; nothing after it does.
        (True, None, None),
    ],
    ids=["sequential", "parallel-2", "parallel"],
)
@pytest.mark.parametrize("exception_type", [KeyboardInterrupt, SystemExit])
def test_a_stop_is_re_raised_and_ends_the_run_at_once(
    exception_type, parallel, max_threads, settled, instance
):
    log = []
    exception = exception_type("stop now")
    with replaced_stderr() as stderr, pytest.raises(exception_type) as raised:
        stop_graph(exception if instance else exception_type, log).execute(parallel, max_threads)
    assert type(raised.value) is exception_type
    assert raised.value is exception or not instance
    # The traceback reaches into the node function that raised.
    assert raised.value.__traceback__ is not None
    assert settled is None or log == ["root"]
    time.sleep(0.3 if parallel else 0)
    assert "after" not in log and (settled is None or log in settled)
    assert stderr.writes == []


@pytest.mark.parametrize("parallel", [False, True])
def test_sys_exit_in_a_node_ends_the_process_with_its_code(parallel):
    finished = run_python(f"""
        import sys
        import corvane
        graph = corvane.Graph()
        graph.add()
        for k in range(2):
            branch = corvane.Graph()
            branch.add(lambda i, p: sys.exit(3))
            branch.add(lambda i, p: print("never") or {{}})
            graph.branch(branch)
        graph.build().execute(parallel={parallel})
        print("not reached")
    """)
    assert finished.returncode == 3, finished.stderr
    assert finished.stdout == ""


def raise_panic(message):
    def panicking(inputs, params):
        raise corvane.PanicException(message)

    return panicking


def panic_in_parallel_level():
    return fan_out(node(), [node(raise_panic("inner failure"))], [node()])


def test_panic_raised_by_a_node_fails_the_run(capfd):
    ran_after = []
    dag = chain(node(raise_panic("boom")), node(lambda i, p: ran_after.append(1) or {})).build()
    with replaced_stderr() as stderr, pytest.raises(corvane.PanicException) as raised:
        dag.execute()
    assert raised.value.args == ("boom",)
    assert ran_after == []
    # A two-line notice on the process's own standard error, the traceback
    # through sys.stderr.
    notice = capfd.readouterr().err.splitlines()
    assert len(notice) == 2 and "PanicException" in notice[0]
    assert stderr.text.startswith("Traceback (most recent call last):\n")
    assert stderr.text.splitlines()[-1] == "corvane.PanicException: boom"


@pytest.mark.parametrize(
    "inner_mode, message",
    [
        ({"parallel": True}, "a scoped thread panicked"),
        ({}, "inner failure"),
    ],
)
@pytest.mark.parametrize("outer_mode", [pytest.param(None, id="not-nested"), *MODES])
def test_a_panic_fails_its_run_and_every_run_around_it(inner_mode, message, outer_mode):
    inner = (
        panic_in_parallel_level()
        if inner_mode
        else chain(node(raise_panic("inner failure"))).build()
    )

    def nested(i, p):
        return {"r": inner.execute(**inner_mode)}

    outer = fan_out(node(nested, outputs={"r": "r"}), [node()], [node()])
    with replaced_stderr(), pytest.raises(corvane.PanicException) as raised:
        if outer_mode is None:
            nested(None, None)
        else:
            outer.execute(**outer_mode)
    assert type(raised.value) is corvane.PanicException
    assert raised.value.args == (message,)


@pytest.mark.parametrize("handler", [Exception, corvane.PanicException])
def test_only_an_except_naming_panic_catches_it(handler):
    def guarded(i, p):
        try:
            panic_in_parallel_level().execute(parallel=True)
        except handler as error:
            return {"caught": error.args[0]}

    dag = chain(node(guarded, outputs={"caught": "caught"})).build()
    with replaced_stderr():
        if handler is corvane.PanicException:
            assert dag.execute() == {"caught": "a scoped thread panicked"}
        else:
            with pytest.raises(corvane.PanicException):
                dag.execute()
