#include "python_bindings/node_arguments.hpp"

#include <string>
#include <utility>

#include "python_bindings/adapter.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/conversion.hpp"
#include "python_bindings/errors.hpp"

namespace corvane::python_bindings {

namespace {

std::vector<node::NamePair> mapping_argument(PyObject* value) {
  if (value == nullptr || value == Py_None) return {};
  return parse_mapping(BorrowedRef(value));
}

// Same-name pairs for each name of a tuple of str.
std::vector<node::NamePair> same_name_pairs(BorrowedRef names) {
  std::vector<node::NamePair> pairs;
  for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(names.get()); ++index) {
    std::string name = text_from_str(BorrowedRef(PyTuple_GET_ITEM(names.get(), index)));
    pairs.emplace_back(name, std::move(name));
  }
  return pairs;
}

// A function decorated with `corvane.node` carries its node form as the
// attribute `__corvane_node__`: (call, input names, output names, names
// with defaults). Plain functions, methods and builtins never do, and are
// told apart without an attribute lookup that fails.
OwnedRef node_form_of(PyObject* function) {
  if (PyFunction_Check(function) || PyMethod_Check(function) || PyCFunction_Check(function))
    return {};
  OwnedRef form =
      OwnedRef::new_reference_or_null(PyObject_GetAttrString(function, "__corvane_node__"));
  if (!form) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
    PyErr_Clear();
    return {};
  }
  const auto is_names = [](PyObject* item) { return PyTuple_Check(item) != 0; };
  if (!PyTuple_Check(form.get()) || PyTuple_GET_SIZE(form.get()) != 4 ||
      !is_names(PyTuple_GET_ITEM(form.get(), 1)) || !is_names(PyTuple_GET_ITEM(form.get(), 2)) ||
      !is_names(PyTuple_GET_ITEM(form.get(), 3))) {
    throw_argument_type_error(
        "function", "__corvane_node__ must be a tuple (call, inputs, outputs, optional names)");
  }
  return form;
}

}  // namespace

NodeArguments node_arguments(PyObject* function, PyObject* inputs, PyObject* outputs,
                             PyObject* params) {
  NodeArguments converted;
  // Inputs first, so that when both are malformed the inputs are reported.
  converted.inputs = mapping_argument(inputs);
  converted.outputs = mapping_argument(outputs);
  if (params != nullptr && params != Py_None)
    converted.settings.params = context_from_mapping(BorrowedRef(params), "params");
  if (function == nullptr || function == Py_None) return converted;

  const OwnedRef form = node_form_of(function);
  if (!form) {
    converted.function = create_python_node_function(BorrowedRef(function));
    return converted;
  }
  const BorrowedRef declared_inputs(PyTuple_GET_ITEM(form.get(), 1));
  if (inputs == nullptr || inputs == Py_None) converted.inputs = same_name_pairs(declared_inputs);
  if (outputs == nullptr || outputs == Py_None)
    converted.outputs = same_name_pairs(BorrowedRef(PyTuple_GET_ITEM(form.get(), 2)));
  for (const node::NamePair& pair : same_name_pairs(BorrowedRef(PyTuple_GET_ITEM(form.get(), 3))))
    converted.settings.optional_inputs.push_back(pair.first);
  converted.function = create_python_node_function(BorrowedRef(PyTuple_GET_ITEM(form.get(), 0)),
                                                   BorrowedRef(function));
  return converted;
}

}  // namespace corvane::python_bindings
