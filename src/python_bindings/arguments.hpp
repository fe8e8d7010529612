#pragma once

// Reading the arguments of a method called with the vectorcall convention:
// every parameter may come by position or by keyword, in the declared order,
// with the interpreter's usual errors for calls that do not fit; plus the
// typed readers that give a wrong type the "argument '{name}': " prefix.

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "dag/dag.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// A method's parameters, in order; the first `required` must be given, and
// only the first `positional` may come by position (the rest are keyword
// only).
template <std::size_t Count>
struct Parameters {
  const char* method;
  std::array<const char*, Count> names;
  std::size_t required = 0;
  std::size_t positional = Count;
};

// Matches positional and keyword arguments to `names`; writes each given
// argument (borrowed) into `slots` and leaves the others null. TypeError for
// too many arguments, unknown keywords, an argument given twice or a missing
// required one.
void match_arguments(const char* method, const char* const* names, std::size_t count,
                     std::size_t required, std::size_t positional_limit, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

template <std::size_t Count>
std::array<PyObject*, Count> match_arguments(const Parameters<Count>& parameters,
                                             PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
  std::array<PyObject*, Count> slots{};
  match_arguments(parameters.method, parameters.names.data(), Count, parameters.required,
                  parameters.positional, args, PyVectorcall_NARGS(nargs), kwnames, slots.data());
  return slots;
}

// Throws TypeError "argument '{name}': {message}".
[[noreturn]] void throw_argument_type_error(const char* name, const std::string& message);

// Re-raises the current TypeError with the argument prefix; leaves any other
// exception as it is. Always throws `PythonError`.
[[noreturn]] void prefix_type_error(const char* name);

// Runs `convert`; a TypeError it raises comes out as TypeError
// "argument '{name}': {error}". Other exceptions pass unchanged.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    prefix_type_error(name);
  }
}

// `True` or `False` exactly; a missing argument means `fallback`.
bool bool_argument(const char* name, PyObject* value, bool fallback);

// The schedule a run's `parallel` argument asks for: `False` (or missing)
// for sequential, `True` for levels, "dataflow" for dataflow.
dag::Schedule schedule_argument(const char* name, PyObject* value);

// An optional text argument: missing or None gives nothing, else a `str`.
std::optional<std::string> optional_text_argument(const char* name, PyObject* value);

// An optional count: missing or None gives nothing, else anything usable as
// an integer index in 0..2^64-1. A value out of range raises OverflowError
// without the prefix, saying what the argument must be.
std::optional<std::uint64_t> optional_count_argument(const char* name, PyObject* value);

}  // namespace corvane::python_bindings
