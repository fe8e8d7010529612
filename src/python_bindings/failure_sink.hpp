#pragma once

// Where a Python node function's failure goes instead of being printed: a
// run that reports failures as data puts a sink in place, on the thread that
// runs the node, for the length of the node's function.

#include <Python.h>

#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

class FailureSink {
 public:
  // Keeps `exception` (called with the interpreter lock held). True when the
  // sink reports the failure itself, so that nothing is printed for it.
  virtual bool take(BorrowedRef exception) = 0;

 protected:
  ~FailureSink() = default;
};

// Makes `sink` (or none) this thread's sink and returns the one it replaces.
FailureSink* exchange_failure_sink(FailureSink* sink) noexcept;

// Hands `exception` to this thread's sink, if any; true when the sink
// reports it, so the caller prints nothing.
bool hand_to_failure_sink(BorrowedRef exception);

// The same for a function that returned something other than a dict: the
// sink is handed a TypeError "Python function did not return a dict".
bool hand_not_a_dict_to_failure_sink();

// No sink for a scope: a run started inside a node function reports its own
// failures as it would anywhere else, not into the sink of the outer node.
class NoFailureSink {
 public:
  NoFailureSink() noexcept : saved_(exchange_failure_sink(nullptr)) {}
  ~NoFailureSink() { exchange_failure_sink(saved_); }
  NoFailureSink(const NoFailureSink&) = delete;
  NoFailureSink& operator=(const NoFailureSink&) = delete;

 private:
  FailureSink* saved_;
};

}  // namespace corvane::python_bindings
