#pragma once

// The interpreter side of the core's host hooks: reference counts changed on
// threads without the interpreter lock are deferred to the next thread that
// enters the interpreter through this module, plus the lock helpers that do
// that entering.

#include <Python.h>

namespace corvane::python_bindings {

// Installs the deferred reference counting as the core's host hooks. Called
// once, at module start-up, before any handle exists.
void install_host();

// Applies every count change deferred by threads that did not hold the
// interpreter lock: all increments first, then all decrements. The caller
// holds the lock. Costs one atomic load when nothing is pending.
void apply_pending_references() noexcept;

// Holds the interpreter lock for a scope on any thread, taking it through
// the thread-state interface when this thread does not hold it already.
class InterpreterLock {
 public:
  InterpreterLock() noexcept : state_(PyGILState_Ensure()) { apply_pending_references(); }
  ~InterpreterLock() { PyGILState_Release(state_); }
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;

 private:
  PyGILState_STATE state_;
};

// Gives the interpreter lock up for a scope and takes it back at the end,
// also when the scope ends by an exception; then applies what other threads
// deferred meanwhile.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() noexcept : saved_(PyEval_SaveThread()) {}
  ~InterpreterLockReleased() {
    PyEval_RestoreThread(saved_);
    apply_pending_references();
  }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace corvane::python_bindings
