#pragma once

// The `corvane.RunResult` of a detailed run: the engine's result and what
// the run's observation found, handed to the package's Python class.

#include <Python.h>

#include "dag/execution_result.hpp"
#include "python_bindings/refs.hpp"
#include "python_bindings/run_observation.hpp"

namespace corvane::python_bindings {

// A new `corvane.RunResult`. Lock held.
OwnedRef run_result(const dag::ExecutionResult& result, const RunObservation& observation);

}  // namespace corvane::python_bindings
