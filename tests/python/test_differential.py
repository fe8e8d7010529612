"""Random graphs built through add and branch, run in both modes, against a
small model of the building, ordering and merge rules written here."""

import itertools

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane
from conftest import replaced_stderr

NAMES = ["a", "b", "c"]
OWN = ["p", "q", "r"]

behaviours = st.sampled_from(["all", "some", "fails", "none"])
mappings = st.dictionaries(st.sampled_from(NAMES), st.sampled_from(OWN), max_size=3)
out_mappings = st.dictionaries(st.sampled_from(OWN), st.sampled_from(NAMES), max_size=3)
node_specs = st.tuples(mappings, out_mappings, behaviours)
graphs = st.recursive(
    st.lists(st.tuples(st.just("add"), node_specs), max_size=3),
    lambda inner: st.lists(
        st.one_of(st.tuples(st.just("add"), node_specs), st.tuples(st.just("branch"), inner)),
        max_size=4,
    ),
    max_leaves=8,
)


def function_of(tag, behaviour):
    if behaviour == "none":
        return None

    def run(inputs, params):
        if behaviour == "fails":
            raise ValueError(tag)
        value = (tag, tuple(sorted(inputs.items())))
        return {own: value for own in (OWN if behaviour == "all" else OWN[:1])}

    return run


class Model:
    """The builder: nodes in the order added, each depending on the node
    added before it; a branch hangs from the node added last before it."""

    def __init__(self):
        self.nodes = []  # [tag, inputs, outputs, behaviour, dependencies]
        self.branches = []
        self.last = None
        self.branch_point = None

    def add(self, tag, spec):
        self.nodes.append([tag, *spec, [] if self.last is None else [self.last]])
        self.last = len(self.nodes) - 1
        self.branch_point = None

    def branch(self, sub):
        if self.branch_point is None:
            self.branch_point = self.last
        if self.branch_point is not None and sub.nodes:
            if self.branch_point not in sub.nodes[0][4]:
                sub.nodes[0][4].append(self.branch_point)
        self.branches.append(sub)

    def merged(self):
        merged = [list(node) for node in self.nodes]

        def merge(sub, enclosing):
            first = len(merged)
            for position, node in enumerate(sub.nodes):
                shift = enclosing if position == 0 else (lambda old: first + old)
                merged.append([*node[:4], [shift(d) for d in node[4]]])
            for nested in sub.branches:
                merge(nested, lambda old: first + old)

        for sub in self.branches:
            merge(sub, lambda old: old)
        return merged


def build(ops, model, graph, tags):
    for kind, payload in ops:
        if kind == "add":
            tag = next(tags)
            inputs, outputs, behaviour = payload
            model.add(tag, payload)
            graph.add(function_of(tag, behaviour), inputs=inputs, outputs=outputs)
        else:
            sub_model, sub_graph = Model(), corvane.Graph()
            build(payload, sub_model, sub_graph, tags)
            model.branch(sub_model)
            graph.branch(sub_graph)


def order_and_levels(nodes):
    remaining = [len(node[4]) for node in nodes]
    dependents = [[] for _ in nodes]
    for index, node in enumerate(nodes):
        for dependency in node[4]:
            dependents[dependency].append(index)
    order = [index for index, count in enumerate(remaining) if count == 0]
    for index in order:
        for dependent in dependents[index]:
            remaining[dependent] -= 1
            if remaining[dependent] == 0:
                order.append(dependent)
    level_of, levels = {}, []
    for index in order:
        level = max((level_of[d] + 1 for d in nodes[index][4]), default=0)
        level_of[index] = level
        levels += [[] for _ in range(level + 1 - len(levels))]
        levels[level].append(index)
    return order, levels


def outputs_of(node, context):
    tag, inputs, outputs, behaviour, _ = node
    arguments = {own: context[name] for name, own in inputs.items() if name in context}
    function = function_of(tag, behaviour)
    if function is None or behaviour == "fails":
        return {}
    result = function(arguments, {})
    return {name: result[own] for own, name in outputs.items() if own in result}


def sequential(nodes, order):
    context = {}
    for index in order:
        context.update(outputs_of(nodes[index], context))
    return context


def parallel_outcomes(nodes, levels):
    """Every context a level-parallel run may end with: nodes of a level read
    the level's starting context and merge in any order."""
    outcomes = [{}]
    for level in levels:
        following = []
        for context in outcomes:
            produced = [outputs_of(nodes[index], context) for index in level]
            for merge_order in itertools.permutations(produced):
                merged = dict(context)
                for outputs in merge_order:
                    merged.update(outputs)
                if merged not in following:
                    following.append(merged)
        outcomes = following
    return outcomes


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(ops=graphs, max_threads=st.one_of(st.none(), st.integers(0, 4)))
def test_runs_match_the_model(ops, max_threads):
    model, graph = Model(), corvane.Graph()
    build(ops, model, graph, itertools.count())
    nodes = model.merged()
    order, levels = order_and_levels(nodes)
    dag = graph.build()
    with replaced_stderr():
        assert dag.execute() == sequential(nodes, order)
        assert dag.execute(True, max_threads) in parallel_outcomes(nodes, levels)
