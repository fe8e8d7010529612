#pragma once

// The `Dag` class: a Python object owning one built, immutable DAG, which it
// executes and renders. Instances come only from `Graph.build()`.

#include <Python.h>

#include "dag/dag.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// Creates the class object; a new reference. Called once, at start-up.
OwnedRef create_dag_type();

// A new `Dag` object taking over `built`.
OwnedRef wrap_dag(dag::Dag built);

// The module function `_dag_from_nodes(nodes, /)`: a new Dag of exactly the
// nodes described by a sequence of NodeInfo records (ids, dependencies,
// mappings, params, labels, branch ids), as unpickling makes it.
extern PyMethodDef dag_from_nodes_function;

}  // namespace corvane::python_bindings
