#pragma once

// The node function that runs a Python callable: called from any thread, it
// takes the interpreter lock, hands the callable two dicts and turns the dict
// it returns into the node's results.

#include <Python.h>

#include "node/node_function.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// Wraps `function` (any object; callability is only found out when the node
// runs) into a node function that keeps one reference to it. A failing call
// is reported on `sys.stderr` and yields no results; KeyboardInterrupt and
// SystemExit end the run with a `node::RunStop` carrying the exception; a
// `PanicException` continues as a `dag::Panic`.
node::NodeFunction create_python_node_function(BorrowedRef function);

// The same for a node that calls `call` but shows (and keeps alive) `shown`
// as its function: a decorated function whose node form is `call`.
node::NodeFunction create_python_node_function(BorrowedRef call, BorrowedRef shown);

}  // namespace corvane::python_bindings
