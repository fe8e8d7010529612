#pragma once

// Helpers for tests that run the binding layer inside an embedded
// interpreter. `embedded_python.cpp` starts the interpreter once for the
// whole test program, with the module's host hooks and `PanicException`.

#include <Python.h>

#include <initializer_list>
#include <string>

#include "graph_data/graph_data.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings::embedded {

using graph_data::Context;
using graph_data::GraphData;

// A `Map` value holding `entries`.
GraphData map_of(std::initializer_list<Context::value_type> entries);

// Like `repr`, with dict keys sorted (native maps have no fixed order) and
// every number's type visible: `[(1.5, 2.0)]`, `{'a': 1}`.
std::string canonical(const OwnedRef& object);

// Runs `source` in `__main__`; fails the test on an exception.
void run_python(const char* source);

// A global of `__main__`, as a new reference.
OwnedRef main_global(const char* name);

}  // namespace corvane::python_bindings::embedded
