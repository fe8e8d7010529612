#include "python_bindings/run_result.hpp"

#include <iterator>

#include "python_bindings/conversion.hpp"

namespace corvane::python_bindings {

namespace {

// {id: dict of the context} for a map of the engine's result.
template <class Map>
OwnedRef contexts_by_id(const Map& map) {
  OwnedRef dict = OwnedRef::new_reference(PyDict_New());
  for (const auto& [id, context] : map) {
    OwnedRef key = OwnedRef::new_reference(PyLong_FromUnsignedLongLong(id));
    require_status(PyDict_SetItem(dict.get(), key.get(), context_to_dict(context).get()));
  }
  return dict;
}

// The class lives in the package, which imports this module first.
OwnedRef run_result_class() {
  OwnedRef module =
      OwnedRef::new_reference(PyImport_ImportModule("corvane.diagnostics.run_result"));
  return OwnedRef::new_reference(PyObject_GetAttrString(module.get(), "RunResult"));
}

}  // namespace

OwnedRef run_result(const dag::ExecutionResult& result, const RunObservation& observation) {
  // In the order of the dataclass's fields.
  OwnedRef fields[] = {
      context_to_dict(result.context),
      contexts_by_id(result.node_outputs),
      contexts_by_id(result.branch_outputs),
      observation.failures(),
      observation.timings(),
      observation.threads(),
      observation.labels(),
      OwnedRef::new_reference(PyFloat_FromDouble(observation.start())),
      OwnedRef::new_reference(PyFloat_FromDouble(observation.end())),
      OwnedRef::new_reference(PyLong_FromUnsignedLong(observation.calling_thread())),
  };
  PyObject* arguments[std::size(fields)];
  for (std::size_t i = 0; i < std::size(fields); ++i) arguments[i] = fields[i].get();
  OwnedRef type = run_result_class();
  return OwnedRef::new_reference(
      PyObject_Vectorcall(type.get(), arguments, std::size(fields), nullptr));
}

}  // namespace corvane::python_bindings
