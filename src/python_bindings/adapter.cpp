#include "python_bindings/adapter.hpp"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "dag/panic.hpp"
#include "graph_data/py_object_handle.hpp"
#include "python_bindings/conversion.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/failure_sink.hpp"
#include "python_bindings/interpreter_lock.hpp"

namespace corvane::python_bindings {

namespace {

// Writes through `sys.stderr.write`, looked up afresh so that a replaced
// stream receives the text. A failure to write is dropped: the message is
// all the caller had to say.
void write_message(std::string_view message) noexcept {
  try {
    OwnedRef sys = OwnedRef::new_reference(PyImport_ImportModule("sys"));
    OwnedRef stream = OwnedRef::new_reference(PyObject_GetAttrString(sys.get(), "stderr"));
    OwnedRef text = str_from_text(message);
    OwnedRef write = OwnedRef::new_reference(PyObject_GetAttrString(stream.get(), "write"));
    OwnedRef written = OwnedRef::new_reference(PyObject_CallOneArg(write.get(), text.get()));
  } catch (const PythonError&) {
    PyErr_Clear();
  }
}

// The arguments dict for one call, or null after writing why it could not
// be filled.
OwnedRef arguments_dict(const Context& values) {
  try {
    return context_to_dict(values, [](const std::string& name) {
      const std::string error = CaughtException::fetch().describe();
      write_message("Error setting input '" + name + "': " + error + "\n");
      throw;
    });
  } catch (const PythonError&) {
    // Not a rejected input: the dict itself could not be made.
    if (PyErr_Occurred()) throw;
    return {};
  }
}

// Deals with the exception the callable raised (it is the current one).
// Interrupts and exits end the run and travel to the caller of `execute`;
// a PanicException continues as a failure of the run; anything else goes
// to the thread's failure sink or is printed, and the node yields nothing.
Context handle_call_failure() {
  CaughtException caught = CaughtException::fetch();
  if (is_run_stop(caught.type())) stop_run(std::move(caught));
  if (PyErr_GivenExceptionMatches(caught.type(), panic_exception_type())) {
    const std::string message = caught.text();
    std::fputs("corvane: a Python node function raised PanicException\n", stderr);
    std::fputs("corvane: the run fails with it; its traceback follows\n", stderr);
    std::move(caught).restore();
    PyErr_PrintEx(0);
    throw dag::Panic(message);
  }
  if (hand_to_failure_sink(BorrowedRef(caught.value()))) return {};
  std::move(caught).restore();
  PyErr_PrintEx(0);
  return {};
}

Context call_python(PyObject* function, const Context& inputs, const Context& params) {
  OwnedRef inputs_dict = arguments_dict(inputs);
  if (!inputs_dict) return {};
  OwnedRef params_dict = arguments_dict(params);
  if (!params_dict) return {};

  PyObject* arguments[] = {inputs_dict.get(), params_dict.get()};
  OwnedRef result =
      OwnedRef::new_reference_or_null(PyObject_Vectorcall(function, arguments, 2, nullptr));
  if (!result) return handle_call_failure();
  if (!PyDict_Check(result.get())) {
    if (!hand_not_a_dict_to_failure_sink())
      write_message("Error: Python function did not return a dict\n");
    return {};
  }
  return dict_to_context(result.borrow());
}

class PythonNodeFunction {
 public:
  explicit PythonNodeFunction(graph_data::PyObjectHandle function)
      : function_(std::move(function)) {}

  Context operator()(const Context& inputs, const Context& params) const {
    // Declared first so that every object of the call is gone before the
    // lock is given back.
    NodeCallLock lock;
    try {
      return call_python(static_cast<PyObject*>(function_.get()), inputs, params);
    } catch (const PythonError&) {
      // The interpreter could not even make the call's dicts (out of memory).
      PyErr_PrintEx(0);
      return {};
    }
  }

 private:
  graph_data::PyObjectHandle function_;
};

}  // namespace

node::NodeFunction create_python_node_function(BorrowedRef function) {
  OwnedRef held = OwnedRef::add_reference(function);
  return node::NodeFunction(PythonNodeFunction(graph_data::PyObjectHandle::adopt(held.release())),
                            function.get());
}

}  // namespace corvane::python_bindings
