#pragma once

// Read-only views of a built DAG for Python programs: its nodes as
// `NodeInfo` values, its execution order and levels as tuples of ids, and
// the Markdown that notebooks and other Markdown hosts draw.

#include <Python.h>

#include <span>

#include "dag/dag.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// Creates the `NodeInfo` class, a named tuple of the C kind (a struct
// sequence): immutable, compared by value. A new reference; called once, at
// start-up.
OwnedRef create_node_info_type();

// A new tuple with one `NodeInfo` per node, in node-list order. Each holds
// fresh dicts for the mappings and a reference to the node's callable.
OwnedRef node_infos(const dag::Dag& dag);

// A new tuple of the ids of `order`.
OwnedRef id_tuple(std::span<const node::NodeId> order);

// A new tuple holding one id tuple per level.
OwnedRef level_tuples(const std::vector<std::vector<node::NodeId>>& levels);

// The Mermaid text in a fenced `mermaid` block, or, for a graph past the
// default limits of Mermaid hosts (text length, edge count), a short
// summary instead of a diagram they would refuse.
OwnedRef mermaid_markdown(const dag::Dag& dag);

}  // namespace corvane::python_bindings
