#include "python_bindings/failure_sink.hpp"

#include <utility>

namespace corvane::python_bindings {

namespace {

thread_local FailureSink* current_sink = nullptr;

}  // namespace

FailureSink* exchange_failure_sink(FailureSink* sink) noexcept {
  return std::exchange(current_sink, sink);
}

bool hand_to_failure_sink(BorrowedRef exception) {
  return current_sink != nullptr && current_sink->take(exception);
}

bool hand_not_a_dict_to_failure_sink() {
  if (current_sink == nullptr) return false;
  OwnedRef message =
      OwnedRef::new_reference(PyUnicode_FromString("Python function did not return a dict"));
  OwnedRef error = OwnedRef::new_reference(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  return current_sink->take(error.borrow());
}

}  // namespace corvane::python_bindings
