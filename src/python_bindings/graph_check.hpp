#pragma once

// The graph check as Python sees it: `Dag.check` and the check a strict run
// makes before its first node. The core finds the problems; the package's
// `corvane._problems` turns them into values and messages.

#include <Python.h>

#include <span>
#include <string>

#include "dag/check.hpp"
#include "dag/dag.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// A new list of `corvane.Problem`, in the order the core finds them.
OwnedRef check_problems(const dag::Dag& dag, std::span<const std::string> input_names,
                        dag::Visibility visibility, std::span<const bool> runs = {});

// Raises `corvane.GraphError` listing every missing input a run of these
// nodes would meet, before anything runs; returns when there is none.
void raise_for_missing_inputs(const dag::Dag& dag, std::span<const std::string> input_names,
                              dag::Visibility visibility, std::span<const bool> runs = {});

}  // namespace corvane::python_bindings
