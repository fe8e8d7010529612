#pragma once

// What a node is made of, converted from the Python arguments that describe
// it (those of `Graph.add`, or a node read back from a pickled Dag).

#include <Python.h>

#include <vector>

#include "node/node.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// The node function, the mappings and the settings, all converted before a
// builder is touched.
struct NodeArguments {
  node::NodeFunction function = node::NodeFunction::noop();
  std::vector<node::NamePair> inputs;
  std::vector<node::NamePair> outputs;
  node::NodeSettings settings;
};

// Converts the arguments (each null or None when not given). `function`
// None makes a node that does nothing; a function decorated with
// `corvane.node` brings its node form, its names (for the mappings not
// given) and its names with defaults. Mapping errors as `parse_mapping`
// raises them, inputs first; TypeError for params that are not a mapping
// from str.
NodeArguments node_arguments(PyObject* function, PyObject* inputs, PyObject* outputs,
                             PyObject* params);

}  // namespace corvane::python_bindings
