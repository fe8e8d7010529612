"""Key tokens for Dask graphs made from a Dag.

A token must be the same each time one Dag is exported in one mode, and must
differ between Dags or modes, including a Dag built later at the address of
a freed one while a cluster still holds results under the old keys. A Dag
takes no weak references, so it cannot carry a token of its own; what the
token is made of instead:

- the mode, ``id(dag)`` (telling apart two live Dags, even identical ones),
  and the Dag's whole structure (ids, labels, mappings, order or levels);
- a token of the run's inputs, targets and the params of the nodes that run,
  made by the caller (Dask's ``tokenize``);
- for each node function, an identity that no other object ever shares:
  a random token kept for the function's lifetime (forgotten through a weak
  reference when it dies, before its address can be reused); a function
  that takes no weak references is identified by the pickled bytes of its
  contents, and one that cannot be pickled either by its address (it can
  only run in this process, where the graph keeps it alive).

So two exports share keys only if they run the very same function objects
in the same structure, i.e. the same computation.
"""

from __future__ import annotations

import hashlib
import pickle
import uuid
import weakref

from corvane._core import Dag


class _FunctionRef(weakref.ref):  # type: ignore[type-arg]
    __slots__ = ("address", "token")
    address: int
    token: str


_tokens: dict[int, _FunctionRef] = {}


def _forget(ref: _FunctionRef) -> None:
    if _tokens.get(ref.address) is ref:
        _tokens.pop(ref.address, None)


def function_identity(function: object) -> str:
    """A text that names `function` alone for as long as it lives."""
    if function is None:
        return "none"
    address = id(function)
    held = _tokens.get(address)
    if held is not None and held() is function:
        return held.token
    try:
        ref = _FunctionRef(function, _forget)
    except TypeError:
        try:
            return "pickled:" + hashlib.sha256(pickle.dumps(function)).hexdigest()
        except Exception:
            return f"address:{address}"
    ref.address = address
    ref.token = uuid.uuid4().hex
    held = _tokens.setdefault(address, ref)
    if held() is not function:
        # A stale entry whose object has gone without its callback yet.
        _tokens[address] = held = ref
    return held.token


def dag_token(dag: Dag, parallel: bool | str, raise_on_failure: bool, values: str) -> str:
    structure = (
        "corvane",
        parallel,
        raise_on_failure,
        values,
        id(dag),
        dag.levels if parallel else dag.execution_order,
        tuple(
            (
                node.id,
                node.label,
                tuple(node.inputs.items()),
                tuple(node.outputs.items()),
                node.dependencies,
                function_identity(node.function),
            )
            for node in dag.nodes
        ),
    )
    return hashlib.sha256(repr(structure).encode()).hexdigest()[:32]
