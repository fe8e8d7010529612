#pragma once

// The `Graph` class: a Python object owning one graph builder until the
// builder is handed on by `build()` or by being attached as a branch.

#include <Python.h>

#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// Creates the class object; a new reference. Called once, at start-up.
OwnedRef create_graph_type();

}  // namespace corvane::python_bindings
