// The extension's start-up: the `corvane._core` module object, which the
// `corvane` package re-exports, its two classes, `PanicException` and
// `NodeInfo`, and the host hooks that the core's values rely on.

#include <Python.h>

#include <atomic>

#include "python_bindings/errors.hpp"
#include "python_bindings/host.hpp"
#include "python_bindings/introspection.hpp"
#include "python_bindings/py_dag.hpp"
#include "python_bindings/py_graph.hpp"
#include "python_bindings/refs.hpp"
#include "python_bindings/run_callbacks.hpp"

namespace corvane::python_bindings {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "corvane._core",
    "Initialize the Python module",
    // No per-module state. With 0 (not -1) the interpreter calls the
    // initialisation again for every new import instead of copying the first
    // module's dict, so the check below can refuse it.
    0,
    // Private functions only, through which the package's run callbacks
    // reach the runs.
    run_callback_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The hooks and the class objects are process-wide, so a second
// initialisation (from another interpreter of the process) is refused.
std::atomic<bool> initialised{false};

// Sets `type` as the module attribute `name` and appends `name` to
// `__all__`, creating the list on first use.
void register_class(PyObject* module, const char* name, OwnedRef type) {
  OwnedRef all = OwnedRef::new_reference_or_null(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
    PyErr_Clear();
    all = OwnedRef::new_reference(PyList_New(0));
    require_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  OwnedRef text = OwnedRef::new_reference(PyUnicode_FromString(name));
  require_status(PyList_Append(all.get(), text.get()));
  require_status(PyObject_SetAttrString(module, name, type.get()));
}

OwnedRef create_module() {
  if (initialised.exchange(true))
    throw_python_error(PyExc_ImportError, "corvane can be initialised only once per process");
  install_host();
  OwnedRef module = OwnedRef::new_reference(PyModule_Create(&module_definition));
  require_status(PyModule_AddFunctions(module.get(), pool_functions));
  register_class(module.get(), "Graph", create_graph_type());
  register_class(module.get(), "Dag", create_dag_type());
  // Reachable by name so that programs can catch it; not part of `__all__`.
  require_status(
      PyObject_SetAttrString(module.get(), "PanicException", create_panic_exception_type().get()));
  require_status(PyObject_SetAttrString(module.get(), "NodeInfo", create_node_info_type().get()));
  // Bound to the module, under its name, so that pickles find it by name.
  OwnedRef module_name = OwnedRef::new_reference(PyUnicode_FromString("corvane._core"));
  OwnedRef from_nodes = OwnedRef::new_reference(
      PyCFunction_NewEx(&dag_from_nodes_function, module.get(), module_name.get()));
  require_status(PyObject_SetAttrString(module.get(), "_dag_from_nodes", from_nodes.get()));
  return module;
}

}  // namespace

}  // namespace corvane::python_bindings

PyMODINIT_FUNC PyInit__core() {
  return corvane::python_bindings::entry_point(
      [] { return corvane::python_bindings::create_module().release(); });
}
