#include "python_bindings/adapter.hpp"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "dag/panic.hpp"
#include "dag/worker_pool.hpp"
#include "graph_data/py_object_handle.hpp"
#include "node/node.hpp"
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

// "node 3 'load'", or "node 3" for a node without a label: the node this
// thread is running.
std::string running_node_name() {
  const node::Node* running = node::running_node();
  if (running == nullptr) return "a node";
  std::string name = "node " + std::to_string(running->id);
  if (running->label) name += " '" + *running->label + "'";
  return name;
}

// The note that names the failing node on its exception: one note per
// failure, also when the same exception object fails several nodes.
std::string failure_note() {
  return "raised by " + running_node_name();
}

// Deals with the exception the callable raised (it is the current one).
// Interrupts and exits end the run and travel to the caller of `execute`;
// a PanicException continues as a failure of the run; anything else gets a
// note naming the node and goes where this thread's failure sink says:
// printed, kept, or raised by the run, which then stops.
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
  add_note(caught.value(), failure_note());
  switch (hand_to_failure_sink(BorrowedRef(caught.value()))) {
    case FailureAction::print:
      // The traceback prints the note (before 3.11 through the
      // exceptiongroup backport, which the package imports).
      std::move(caught).restore();
      PyErr_PrintEx(0);
      return {};
    case FailureAction::keep:
      return {};
    case FailureAction::stop:
      stop_run_for_failure(std::move(caught));
  }
  return {};
}

// The same for a call that returned something other than a dict: the
// failure is a TypeError naming the node and what it returned, printed as
// the message "Error: Python function did not return a dict" and a line
// naming both.
Context handle_not_a_dict(BorrowedRef returned) {
  const std::string what = running_node_name() + " returned " + std::string(type_name_of(returned));
  const std::string message = "Python function did not return a dict: " + what;
  PyErr_SetString(PyExc_TypeError, message.c_str());
  CaughtException caught = CaughtException::fetch();
  switch (hand_to_failure_sink(BorrowedRef(caught.value()))) {
    case FailureAction::print:
      write_message("Error: Python function did not return a dict\n" + what + "\n");
      return {};
    case FailureAction::keep:
      return {};
    case FailureAction::stop:
      stop_run_for_failure(std::move(caught));
  }
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
  if (!PyDict_Check(result.get())) return handle_not_a_dict(result.borrow());
  return dict_to_context(result.borrow());
}

class PythonNodeFunction {
 public:
  PythonNodeFunction(graph_data::PyObjectHandle function, graph_data::PyObjectHandle shown)
      : function_(std::move(function)), shown_(std::move(shown)) {}

  Context operator()(const Context& inputs, const Context& params) const {
    // Declared first so that every object of the call is gone before the
    // lock is given back.
    NodeCallLock lock;
    // A node whose run was interrupted while it waited for the lock, or
    // that belongs to a run started inside a node such a run left behind,
    // does not begin.
    dag::WorkerPool::shared().throw_if_running_wave_stopped();
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
  // What the node shows as its function when that is not `function_`,
  // kept alive with it (one reference per object, as the cycle collector
  // counts them).
  graph_data::PyObjectHandle shown_;
};

graph_data::PyObjectHandle held(BorrowedRef object) {
  return graph_data::PyObjectHandle::adopt(OwnedRef::add_reference(object).release());
}

}  // namespace

node::NodeFunction create_python_node_function(BorrowedRef function) {
  return node::NodeFunction(
      PythonNodeFunction(held(function), graph_data::PyObjectHandle::adopt(nullptr)),
      function.get());
}

node::NodeFunction create_python_node_function(BorrowedRef call, BorrowedRef shown) {
  return node::NodeFunction(PythonNodeFunction(held(call), held(shown)), shown.get());
}

}  // namespace corvane::python_bindings
