#include "python_bindings/arguments.hpp"

#include "python_bindings/conversion.hpp"
#include "python_bindings/errors.hpp"

namespace corvane::python_bindings {

namespace {

[[noreturn]] void raise_call_error(const std::string& message) {
  throw_python_error(PyExc_TypeError, message.c_str());
}

std::size_t position_of(PyObject* keyword, const char* const* names, std::size_t count) {
  for (std::size_t index = 0; index < count; ++index)
    if (PyUnicode_CompareWithASCIIString(keyword, names[index]) == 0) return index;
  return count;
}

}  // namespace

void match_arguments(const char* method, const char* const* names, std::size_t count,
                     std::size_t required, std::size_t positional_limit, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  const std::string function = std::string(method) + "()";
  const auto positional = static_cast<std::size_t>(nargs);
  if (positional > positional_limit) {
    raise_call_error(function + " takes at most " + std::to_string(positional_limit) +
                     (positional_limit == count ? " argument" : " positional argument") +
                     (positional_limit == 1 ? "" : "s") + " (" + std::to_string(positional) +
                     " given)");
  }
  for (std::size_t index = 0; index < positional; ++index) slots[index] = args[index];

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t index = position_of(keyword, names, count);
    if (index == count) {
      raise_call_error(function + " got an unexpected keyword argument '" +
                       text_from_str(BorrowedRef(keyword)) + "'");
    }
    if (slots[index] != nullptr) {
      raise_call_error("argument for " + function + " given by name ('" + names[index] +
                       "') and position (" + std::to_string(index + 1) + ")");
    }
    slots[index] = args[nargs + k];
  }

  for (std::size_t index = 0; index < required; ++index) {
    if (slots[index] == nullptr) {
      raise_call_error(function + " missing required argument '" + names[index] + "' (pos " +
                       std::to_string(index + 1) + ")");
    }
  }
}

void throw_argument_type_error(const char* name, const std::string& message) {
  const std::string text = std::string("argument '") + name + "': " + message;
  throw_python_error(PyExc_TypeError, text.c_str());
}

void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError();
  const std::string error = CaughtException::fetch().text();
  throw_argument_type_error(name, error);
}

bool bool_argument(const char* name, PyObject* value, bool fallback) {
  if (value == nullptr) return fallback;
  if (!PyBool_Check(value)) {
    throw_argument_type_error(
        name, "expected bool, got " + std::string(type_name_of(BorrowedRef(value))));
  }
  return value == Py_True;
}

dag::Schedule schedule_argument(const char* name, PyObject* value) {
  if (value == nullptr) return dag::Schedule::sequential;
  if (PyBool_Check(value)) return dag::schedule_of(value == Py_True);
  if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "dataflow") == 0)
    return dag::Schedule::dataflow;
  // A text names itself, so that a misspelt mode shows what was asked for.
  const std::string got = PyUnicode_Check(value) ? "'" + text_from_str(BorrowedRef(value)) + "'"
                                                 : std::string(type_name_of(BorrowedRef(value)));
  throw_argument_type_error(name, "expected False, True or 'dataflow', got " + got);
}

std::optional<std::string> optional_text_argument(const char* name, PyObject* value) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  return convert_argument(name, [&] { return text_from_str(BorrowedRef(value)); });
}

std::optional<std::uint64_t> optional_count_argument(const char* name, PyObject* value) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  OwnedRef index =
      convert_argument(name, [&] { return OwnedRef::new_reference(PyNumber_Index(value)); });
  const unsigned long long count = PyLong_AsUnsignedLongLong(index.get());
  if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError();
    PyErr_Clear();
    const std::string message =
        std::string(name) + " must be None or a non-negative integer (below 2**64)";
    throw_python_error(PyExc_OverflowError, message.c_str());
  }
  return static_cast<std::uint64_t>(count);
}

}  // namespace corvane::python_bindings
