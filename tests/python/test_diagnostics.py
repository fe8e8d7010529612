import itertools
import sys
import threading
import time
import warnings

import pytest

import corvane
from conftest import chain, fan_out, node, replaced_stderr

if sys.version_info < (3, 11):
    from exceptiongroup import ExceptionGroup

MODES = list(itertools.product([False, True, "dataflow"], [None, 1, 2]))
HOOKS = ["start", "node_start", "node_finish", "finish"]


def writes(name, value):
    return lambda inputs, params: {name: value}


def sleeper(seconds, name):
    def function(inputs, params):
        time.sleep(seconds)
        return {name: threading.get_ident()}

    return function


def raising(inputs, params):
    raise ValueError("broken node")


@pytest.fixture
def graphs():
    """Graphs covering overwrites, empty outputs, branches and failures."""
    return {
        "overwrite": chain(
            node(writes("x", 1), outputs={"x": "v"}, label="first"),
            node(writes("x", 2), outputs={"x": "v"}),
            node(None),
        ).build(),
        "branches": fan_out(
            node(writes("r", 0), outputs={"r": "root"}),
            [
                node(writes("a", 1), outputs={"a": "shared"}),
                node(writes("b", 2), outputs={"b": "b"}),
            ],
            [node(None), node(writes("c", 3), outputs={"c": "shared"})],
        ),
        "failing": fan_out(
            node(writes("r", 0), outputs={"r": "root"}),
            [node(raising, label="raises")],
            [node(lambda i, p: [1], label="list")],
            [node(42)],
            [node(writes("ok", 1), outputs={"ok": "ok"})],
        ),
    }


@pytest.mark.parametrize("parallel, max_threads", MODES)
@pytest.mark.parametrize("name", ["overwrite", "branches", "failing"])
def test_detailed_run_matches_execute_and_records_every_node(graphs, name, parallel, max_threads):
    dag = graphs[name]
    with replaced_stderr():
        expected = dag.execute(parallel, max_threads)
    with replaced_stderr() as stderr:
        result = dag.execute_detailed(parallel=parallel, max_threads=max_threads)
    assert stderr.text == ""
    assert result.context == expected
    if not parallel:  # whatever the cap
        assert set(result.threads.values()) == {threading.get_ident()}
    ran = set(dag.execution_order)
    assert set(result.node_outputs) == set(result.timings) == set(result.threads) == ran
    branch_nodes = {info.id: info.branch_id for info in dag.nodes if info.branch_id is not None}
    assert set(result.branch_outputs) == set(branch_nodes.values())
    for branch, outputs in result.branch_outputs.items():
        merged = {}
        for node_id in dag.execution_order:
            if branch_nodes.get(node_id) == branch:
                merged.update(result.node_outputs[node_id])
        assert outputs == merged or parallel  # parallel levels merge in finishing order
        assert set(outputs) == set(merged)


def test_overwritten_and_empty_outputs(graphs):
    result = graphs["overwrite"].execute_detailed()
    assert result.node_outputs == {0: {"v": 1}, 1: {"v": 2}, 2: {}}
    assert result.context == {"v": 2}


@pytest.mark.parametrize("parallel", [False, True])
def test_failures_are_recorded_not_printed_and_raised_as_a_group(graphs, parallel):
    dag = graphs["failing"]
    with replaced_stderr() as stderr:
        result = dag.execute_detailed(parallel)
    assert stderr.text == ""
    assert {k: type(v) for k, v in result.failures.items()} == {
        1: ValueError,
        2: TypeError,
        3: TypeError,
    }
    assert str(result.failures[2]) == (
        "Python function did not return a dict: node 2 'list' returned list"
    )
    assert result.failures[1].__traceback__ is not None
    with pytest.raises(ExceptionGroup) as raised:
        result.raise_for_failures()
    result_again = pytest.raises(ExceptionGroup, result.raise_for_failures)
    group = raised.value
    assert str(group) == "3 nodes failed (3 sub-exceptions)"
    assert list(group.exceptions) == [result.failures[i] for i in (1, 2, 3)]
    assert [e.__notes__ for e in group.exceptions] == [
        ["raised by node 1 'raises'"],
        ["raised by node 2 'list'"],
        ["raised by node 3"],
    ]
    assert result_again.value.exceptions[0].__notes__ == ["raised by node 1 'raises'"]
    graphs["overwrite"].execute_detailed().raise_for_failures()
    # execute still prints each failure.
    with replaced_stderr() as stderr:
        dag.execute(parallel)
    assert "broken node" in stderr.text
    assert "Error: Python function did not return a dict\n" in stderr.text
    assert "not callable" in stderr.text


def test_nested_plain_run_inside_a_detailed_node_prints_its_own_failures():
    inner = chain(node(raising)).build()
    outer = chain(node(lambda i, p: inner.execute() or {})).build()
    with replaced_stderr() as stderr:
        result = outer.execute_detailed()
    assert result.failures == {}
    assert "broken node" in stderr.text


def test_times_are_on_the_perf_counter_clock():
    before = time.perf_counter()
    result = chain(node(writes("a", 1))).build().execute_detailed()
    after = time.perf_counter()
    start, end = result.timings[0]
    assert before <= result.start <= start <= end <= result.end <= after


@pytest.mark.parametrize("max_threads", [None, 1, 2])
def test_parallel_timings_and_threads(max_threads):
    # root -> four sleeping nodes -> tail
    dag = fan_out(
        node(writes("r", 0)),
        *[[node(sleeper(0.05, "t"), outputs={"t": f"t{i}"})] for i in range(4)],
    )
    result = dag.execute_detailed(parallel=True, max_threads=max_threads)
    caller = threading.get_ident()
    assert result.threads[0] == caller == result.calling_thread
    level = dag.levels[1]
    assert all(result.threads[i] != caller for i in level)
    assert {result.threads[i] for i in level} == {result.context[f"t{i}"] for i in range(4)}
    assert all(result.timings[0][1] <= result.timings[i][0] for i in level)
    # At most max_threads nodes of the level overlap at any moment.
    spans = [result.timings[i] for i in level]
    most = max(sum(s <= start < e for s, e in spans) for start, _ in spans)
    assert most == (max_threads or 4)
    assert all(s <= e for s, e in result.timings.values())


class Recorder(corvane.Callback):
    def __init__(self):
        super().__init__()
        self.events = []
        self.lock = threading.Lock()

    def start(self, dag):
        self.events.append(("start", None, threading.get_ident()))

    def node_start(self, dag, node_id):
        with self.lock:
            self.events.append(("node_start", node_id, threading.get_ident()))

    def node_finish(self, dag, node_id, seconds, failure):
        assert seconds >= 0
        with self.lock:
            self.events.append(("node_finish", node_id, type(failure).__name__))

    def finish(self, dag, seconds):
        self.events.append(("finish", None, threading.get_ident()))


@pytest.mark.parametrize("parallel", [False, True])
def test_callbacks_see_every_node_once_in_dependency_order(graphs, parallel):
    dag = graphs["failing"]
    first, second = Recorder(), Recorder()
    with first, second, first, replaced_stderr():
        result = dag.execute_detailed(parallel)
    with replaced_stderr():
        dag.execute(parallel)  # no callback active any more
    for recorder in (first, second):
        events = recorder.events
        assert events[0][0] == "start" and events[-1][0] == "finish"
        assert len(events) == 2 + 2 * len(dag.execution_order)
        starts = {e[1]: events.index(e) for e in events if e[0] == "node_start"}
        finishes = {e[1]: (events.index(e), e[2]) for e in events if e[0] == "node_finish"}
        assert set(starts) == set(finishes) == set(dag.execution_order)
        for info in dag.nodes:
            for dependency in info.dependencies:
                assert finishes[dependency][0] < starts[info.id]
        assert {e[1]: e[2] for e in events if e[0] == "node_start"} == result.threads
        assert finishes[1][1] == "ValueError" and finishes[0][1] == "NoneType"


def test_callback_functions_nested_runs_and_run_ids():
    seen = []
    inner = chain(node(writes("a", 1))).build()
    outer = chain(node(lambda i, p: inner.execute() or {}), node(None)).build()
    callback = corvane.Callback(
        start=lambda dag: seen.append(("start", len(dag), corvane._core._current_run())),
        finish=lambda dag, s: seen.append(("finish", len(dag), corvane._core._current_run())),
    )
    with callback:
        outer.execute()
    assert [(kind, size) for kind, size, _ in seen] == [
        ("start", 2),
        ("start", 1),
        ("finish", 1),
        ("finish", 2),
    ]
    assert seen[0][2] == seen[3][2] != seen[1][2] == seen[2][2]
    assert corvane._core._current_run() is None


def test_a_raising_callback_is_printed_and_the_run_goes_on():
    def node_start(dag, node_id):
        raise RuntimeError("callback broke")

    dag = chain(node(writes("a", 1), outputs={"a": "a"}), node(None)).build()
    with corvane.Callback(node_start=node_start), replaced_stderr() as stderr:
        assert dag.execute() == {"a": 1}
    assert stderr.text.count("RuntimeError: callback broke") == 2


class FinishOnly(corvane.Callback):
    def node_finish(self, dag, node_id, seconds, failure):
        super().node_finish(dag, node_id, seconds, failure)


@pytest.mark.parametrize(
    "callback, defined",
    [
        (corvane.Callback(), []),
        (Recorder(), ["start", "node_start", "node_finish", "finish"]),
        (FinishOnly(), ["node_finish"]),
        (corvane.Callback(node_start=print), ["node_start"]),
    ],
    ids=["base", "all", "one-overridden", "function"],
)
def test_only_hooks_given_reach_the_runs(callback, defined):
    """The base class's no-op hooks are reported as absent, so runs skip them."""
    hooks = callback._hooks()
    assert [name for name, hook in zip(HOOKS, hooks, strict=True) if hook is not None] == defined


@pytest.mark.parametrize("name", ["node_finished", "node_started", "node_end"])
def test_a_misspelled_hook_warns_when_the_class_is_made(name):
    message = rf"Bad\.{name} is not a run callback hook .* node_start, node_finish and finish"
    with pytest.warns(UserWarning, match=message) as warned:
        type("Bad", (corvane.Callback,), {name: lambda self, *args: None})
    assert len(warned) == 1 and warned[0].filename == __file__


def test_hooks_helpers_and_data_do_not_warn():
    with warnings.catch_warnings():
        warnings.simplefilter("error")

        class Fine(Recorder):
            node_count = 0

            def helper(self):
                pass


def test_type_checkers_check_hook_signatures(tmp_path):
    api = pytest.importorskip("mypy.api")
    source = tmp_path / "hooks.py"
    source.write_text(
        "import corvane\n"
        "class Good(corvane.Callback):\n"
        "    def node_start(self, dag: corvane.Dag, node_id: int) -> None: ...\n"
        "class Bad(corvane.Callback):\n"
        "    def node_finish(self, dag: corvane.Dag, node_id: int) -> None: ...\n"
    )
    report, _, status = api.run(["--strict", "--cache-dir", str(tmp_path / "cache"), str(source)])
    assert status == 1
    assert 'hooks.py:5: error: Signature of "node_finish" incompatible with supertype' in report
    assert "hooks.py:3" not in report


@pytest.mark.parametrize("hook", ["start", "node_start", "node_finish", "finish"])
@pytest.mark.parametrize("parallel", [False, True])
def test_keyboard_interrupt_from_a_callback_stops_the_run(hook, parallel):
    ran = []

    def interrupt(*args):
        raise KeyboardInterrupt(hook)

    dag = fan_out(
        node(lambda i, p: ran.append(0) or {}),
        [node(lambda i, p: ran.append(1) or {})],
        [node(lambda i, p: ran.append(2) or {})],
    )
    with corvane.Callback(**{hook: interrupt}), pytest.raises(KeyboardInterrupt, match=hook):
        dag.execute(parallel)
    assert len(ran) == {"start": 0, "node_start": 0, "node_finish": 1, "finish": 3}[hook]


def test_progress_bar_counts_the_outer_run_only(monkeypatch):
    pytest.importorskip("tqdm")
    import io

    stream = io.StringIO()
    inner = chain(node(None), node(None), node(None)).build()
    dag = fan_out(
        node(lambda i, p: inner.execute() or {}),
        [node(None)],
        [node(None)],
    )
    bar = corvane.ProgressBar(file=stream, mininterval=0)
    with bar:
        dag.execute(parallel=True)
    assert bar._bar is None
    text = stream.getvalue()
    assert "3/3" in text and "4/" not in text and "/3" in text


def test_progress_bar_without_tqdm(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match=r"pip install corvane\[progress\]"):
        corvane.ProgressBar()


NASTY_LABELS = [
    'a "quoted" label',
    "colon: here",
    "#hash",
    "semi;colon",
    "line\nfeed\r\n",
    "section x",
    "5% done",
    "%% comment",
    "2024-01-01",
    "",
    "   ",
]


def gantt_of_nasty_labels():
    graph = corvane.Graph()
    for label in NASTY_LABELS:
        graph.add(writes("x", 1), label=label)
    return graph.build().execute_detailed().to_mermaid_gantt()


def test_gantt_text_has_one_bar_line_per_node_and_a_section_per_thread():
    text = gantt_of_nasty_labels()
    lines = text.splitlines()
    assert lines[:4] == [
        "gantt",
        "    title corvane run (µs from its start)",
        "    dateFormat x",
        "    axisFormat %Q",
    ]
    assert lines[4] == "    section calling thread"
    bars = lines[5:]
    assert len(bars) == len(NASTY_LABELS)
    for bar in bars:
        name, data = bar.rsplit(" :", 1)
        assert not any(ch in name for ch in "#:;%\n")
        start, end = (int(part) for part in data.split(", "))
        assert 0 <= start <= end
    parallel = fan_out(node(None), [node(sleeper(0.01, "a"))], [node(sleeper(0.01, "b"))])
    sections = [
        line
        for line in parallel.execute_detailed(True).to_mermaid_gantt().splitlines()
        if "section" in line
    ]
    assert sections == [
        "    section calling thread",
        "    section worker 1",
        "    section worker 2",
    ]


def test_gantt_renders_in_mermaid(renderer):
    [result] = renderer.render_all([gantt_of_nasty_labels()])
    assert result.ok, result.error
    assert result.svg.count('class="task') >= len(NASTY_LABELS)
