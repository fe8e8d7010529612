"""Random graphs built through add, join and branch, run in every mode with
inputs and targets, against a small model of the building, ordering and
merge rules written here."""

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
adds = st.tuples(st.sampled_from(["add", "join"]), node_specs)
graphs = st.recursive(
    st.lists(adds, max_size=3),
    lambda inner: st.lists(st.one_of(adds, st.tuples(st.just("branch"), inner)), max_size=4),
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
    added before it; a branch hangs from the node added last before it; a
    join depends on every node nothing depends on yet. Nodes are lists
    [tag, inputs, outputs, behaviour, dependencies (node lists)]."""

    def __init__(self):
        self.nodes = []
        self.branches = []
        self.last = None
        self.branch_point = None

    def add(self, tag, spec, dependencies=None):
        if dependencies is None:
            dependencies = [] if self.last is None else [self.last]
        self.nodes.append([tag, *spec, dependencies])
        self.last = self.nodes[-1]
        self.branch_point = None

    def join(self, tag, spec):
        listed = self.listed()
        depended = {id(d) for node in listed for d in node[4]}
        self.add(tag, spec, [node for node in listed if id(node) not in depended])

    def branch(self, sub):
        if self.branch_point is None:
            self.branch_point = self.last
        if self.branch_point is not None and sub.nodes:
            if not any(d is self.branch_point for d in sub.nodes[0][4]):
                sub.nodes[0][4].append(self.branch_point)
        self.branches.append(sub)

    def listed(self):
        """Every node in build order: own nodes, then each branch's, depth first."""
        return self.nodes + [node for sub in self.branches for node in sub.listed()]

    def merged(self):
        listed = self.listed()
        position = {id(node): index for index, node in enumerate(listed)}
        return [[*node[:4], [position[id(d)] for d in node[4]]] for node in listed]


def build(ops, model, graph, tags):
    for kind, payload in ops:
        if kind in ("add", "join"):
            tag = next(tags)
            inputs, outputs, behaviour = payload
            getattr(model, kind)(tag, payload)
            getattr(graph, kind)(function_of(tag, behaviour), inputs=inputs, outputs=outputs)
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


def sequential(nodes, order, inputs):
    context = dict(inputs)
    for index in order:
        context.update(outputs_of(nodes[index], context))
    return context


def parallel_outcomes(nodes, levels, inputs):
    """Every context a level-parallel run may end with: nodes of a level read
    the level's starting context and merge in any order."""
    outcomes = [dict(inputs)]
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


def ancestors_of(nodes, order):
    ancestors = {}
    for index in order:
        ancestors[index] = set().union(*({d} | ancestors[d] for d in nodes[index][4]))
    return ancestors


def dataflow(nodes, order, ancestors, inputs):
    """A dataflow run: each node reads the inputs, then its ancestors' outputs
    merged in execution order; the run ends with the inputs, then every
    node's outputs merged in execution order."""
    rank = {index: place for place, index in enumerate(order)}
    produced = {}
    for index in order:
        seen = dict(inputs)
        for ancestor in sorted(ancestors[index], key=rank.__getitem__):
            seen.update(produced[ancestor])
        produced[index] = outputs_of(nodes[index], seen)
    context = dict(inputs)
    for index in order:
        context.update(produced[index])
    return context


def reads_only_from_ancestors(nodes, order, ancestors):
    """No node reads a name that a node before it, not its ancestor, writes."""
    for place, index in enumerate(order):
        reads = set(nodes[index][1])
        for earlier in order[:place]:
            if earlier not in ancestors[index] and reads & set(nodes[earlier][2].values()):
                return False
    return True


def only(context, targets):
    return {name: value for name, value in context.items() if name in targets}


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    ops=graphs,
    max_threads=st.one_of(st.none(), st.integers(0, 4)),
    inputs=st.dictionaries(st.sampled_from(NAMES), st.integers(0, 9), max_size=2),
    targets=st.lists(st.sampled_from(NAMES), unique=True),
)
def test_runs_match_the_model(ops, max_threads, inputs, targets):
    model, graph = Model(), corvane.Graph()
    build(ops, model, graph, itertools.count())
    nodes = model.merged()
    order, levels = order_and_levels(nodes)
    dag = graph.build()
    expected = sequential(nodes, order, inputs)
    outcomes = parallel_outcomes(nodes, levels, inputs)
    # Only names some node writes, or that came in, can be asked for.
    targets = [t for t in targets if t in inputs or any(t in n[2].values() for n in nodes)]
    with replaced_stderr():
        # Names come back in the order they were first written, inputs first.
        assert list(dag.execute(inputs=inputs).items()) == list(expected.items())
        assert dag.execute(True, max_threads, inputs=inputs) in outcomes
        # Pruned runs give the full runs' values of the names asked for.
        assert dag.execute(inputs=inputs, targets=targets) == only(expected, targets)
        pruned = dag.execute(True, max_threads, inputs=inputs, targets=targets)
        assert pruned in [only(outcome, targets) for outcome in outcomes]
        # Dataflow runs do not depend on timing: exactly the model, in order.
        ancestors = ancestors_of(nodes, order)
        flowed = dataflow(nodes, order, ancestors, inputs)
        got = dag.execute("dataflow", max_threads, inputs=inputs)
        assert list(got.items()) == list(flowed.items())
        if reads_only_from_ancestors(nodes, order, ancestors):
            assert flowed == expected
        pruned = dag.execute("dataflow", max_threads, inputs=inputs, targets=targets)
        assert pruned == only(flowed, targets)
