#pragma once

// Where a Python node function's failure goes instead of being printed: a
// run that reports failures as data, or stops at the first one, puts a sink
// in place, on the thread that runs the node, for the length of the node's
// function.

#include <Python.h>

#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// What becomes of a failure handed to a sink.
enum class FailureAction {
  print,  // printed to sys.stderr; the node yields nothing and the run goes on
  keep,   // kept by the sink as data; nothing is printed and the run goes on
  stop,   // kept by the sink; the run stops and raises it
};

class FailureSink {
 public:
  // Sees `exception` (called with the interpreter lock held) and says what
  // becomes of it.
  virtual FailureAction take(BorrowedRef exception) = 0;

 protected:
  ~FailureSink() = default;
};

// Makes `sink` (or none) this thread's sink and returns the one it replaces.
FailureSink* exchange_failure_sink(FailureSink* sink) noexcept;

// Hands `exception` to this thread's sink, if any, and says what becomes of
// it; without a sink it is printed.
FailureAction hand_to_failure_sink(BorrowedRef exception);

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
