#include "python_bindings/failure_sink.hpp"

#include <utility>

namespace corvane::python_bindings {

namespace {

thread_local FailureSink* current_sink = nullptr;

}  // namespace

FailureSink* exchange_failure_sink(FailureSink* sink) noexcept {
  return std::exchange(current_sink, sink);
}

FailureAction hand_to_failure_sink(BorrowedRef exception) {
  return current_sink == nullptr ? FailureAction::print : current_sink->take(exception);
}

}  // namespace corvane::python_bindings
