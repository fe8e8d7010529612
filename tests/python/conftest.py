import contextlib
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import corvane
from mermaid_browser import Renderer, RendererMissing


class StreamCollector:
    """Stands in for sys.stderr and keeps every text written to it."""

    def __init__(self):
        self.writes = []

    def write(self, text):
        self.writes.append(text)
        return len(text)

    def flush(self):
        pass

    @property
    def text(self):
        return "".join(self.writes)


@contextlib.contextmanager
def replaced_stderr():
    """Replaces sys.stderr for the body of a test (pytest's own capturing
    puts its stream back between a fixture's set-up and the test)."""
    collector = StreamCollector()
    saved = sys.stderr
    sys.stderr = collector
    try:
        yield collector
    finally:
        sys.stderr = saved


# Every way of running a Dag, as keyword arguments of execute.
MODES = [
    pytest.param({}, id="sequential"),
    pytest.param({"parallel": True}, id="parallel"),
    pytest.param({"parallel": True, "max_threads": 1}, id="parallel-capped"),
    pytest.param({"parallel": "dataflow"}, id="dataflow"),
]


def node(function=None, inputs=None, outputs=None, label=None):
    return {"function": function, "inputs": inputs, "outputs": outputs, "label": label}


def chain(*nodes):
    graph = corvane.Graph()
    for fields in nodes:
        graph.add(**fields)
    return graph


def fan_out(root, *branches):
    """A root node with one branch per argument, each a list of nodes.

    Levels: [root], [first node of every branch], [second nodes], ...
    """
    graph = chain(root)
    for branch in branches:
        graph.branch(chain(*branch))
    return graph.build()


class ConcurrencyProbe:
    """Node functions that count how many of them run at once, and where."""

    def __init__(self, work=0.0):
        self.lock = threading.Lock()
        self.running = 0
        self.most = 0
        self.log = []
        self.where = {}
        self.work = work

    def function(self, name):
        def run(inputs, params):
            with self.lock:
                self.running += 1
                self.most = max(self.most, self.running)
                self.log.append(("start", name))
                self.where[name] = threading.get_ident()
            time.sleep(self.work)
            with self.lock:
                self.running -= 1
                self.log.append(("end", name))
            return {name: name}

        return run

    def node(self, name):
        """A node writing its name, for chain and fan_out."""
        return node(self.function(name), outputs={name: name})


def run_python(code, timeout=60, env=None):
    """Runs `code` in a fresh interpreter and returns the finished process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


# The start of the programs that pool tests run in a child process: a
# level of nodes hanging from one seed node, and the process's thread count.
CHILD_PRELUDE = """
import gc, os, signal, sys, threading, time
import corvane

def level(*functions, max_threads=None):
    graph = corvane.Graph()
    graph.add(lambda i, p: {"seed": 1}, outputs={"seed": "seed"})
    for index, function in enumerate(functions):
        branch = corvane.Graph()
        branch.add(function, inputs={"seed": "seed"}, outputs={"out": f"out{index}"})
        graph.branch(branch)
    return graph.build()

def threads():
    return len(os.listdir("/proc/self/task"))
"""


@pytest.fixture(scope="session")
def renderer():
    """The real Mermaid library in a headless browser; a test run that
    requires it fails without it, any other skips."""
    try:
        return Renderer.from_environment()
    except RendererMissing as missing:
        if os.environ.get("CORVANE_REQUIRE_RENDERER") == "1":
            pytest.fail(f"the Mermaid renderer is required: {missing}")
        pytest.skip(f"no Mermaid renderer: {missing}")
