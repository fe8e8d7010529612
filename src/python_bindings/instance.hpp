#pragma once

// Instances of the module's classes: a Python object header followed by the
// C++ state of the wrapper, constructed in the memory the interpreter
// allocates and destroyed before that memory is given back.

#include <Python.h>

#include <memory>
#include <variant>

#include "node/node.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// `Object` is a struct of `PyObject_HEAD` and a default-constructible,
// nothrow `state` member.
template <class Object>
auto& state_of(PyObject* self) noexcept {
  return reinterpret_cast<Object*>(self)->state;
}

// A new instance of `type` whose state is freshly constructed.
template <class Object>
OwnedRef allocate_instance(PyTypeObject* type) {
  OwnedRef self = OwnedRef::new_reference(type->tp_alloc(type, 0));
  std::construct_at(&state_of<Object>(self.get()));
  return self;
}

// The `tp_dealloc` of such a class (which takes part in cycle collection).
template <class Object>
void destroy_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  // Instances of heap types hold a reference to their class, given back
  // once the memory is.
  const OwnedRef class_reference =
      OwnedRef::new_reference_or_null(reinterpret_cast<PyObject*>(type));
  PyObject_GC_UnTrack(self);
  std::destroy_at(&state_of<Object>(self));
  type->tp_free(self);
}

// Reports to the cycle collector the callable that a node keeps alive, so
// that cycles running through node functions (a pipeline object whose own
// methods are its nodes) can be collected.
inline int visit_node_function(const node::Node& node, visitproc visit, void* arg) {
  if (void* held = node.function.held_object())
    if (int stopped = visit(static_cast<PyObject*>(held), arg)) return stopped;
  for (const auto& [name, value] : node.variant_params) {
    const auto* handle = std::get_if<graph_data::PyObjectHandle>(&value);
    if (handle != nullptr && handle->get() != nullptr)
      if (int stopped = visit(static_cast<PyObject*>(handle->get()), arg)) return stopped;
  }
  return 0;
}

// Method functions of the other calling conventions, typed as the
// `PyCFunction` that method tables store (the flags tell the interpreter the
// real type).
template <class Function>
PyCFunction as_method(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A function pointer as a type slot value.
template <class Function>
void* as_slot(Function* function) noexcept {
  return reinterpret_cast<void*>(function);
}

}  // namespace corvane::python_bindings
