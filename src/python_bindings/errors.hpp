#pragma once

// How failures cross the boundary into Python: the `PanicException` type,
// the stop payload that carries a Python exception out of a run, and the
// translation of C++ exceptions into a set Python exception at every entry
// point.

#include <Python.h>
#include <cxxabi.h>

#include <string>

#include "graph_data/py_object_handle.hpp"
#include "python_bindings/host.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// Creates the `PanicException` class (derived directly from BaseException)
// and returns a new reference to it. Called once, at module start-up.
OwnedRef create_panic_exception_type();

// The `PanicException` class; valid after module start-up.
PyObject* panic_exception_type() noexcept;

// What a node function hands to `node::RunStop` when its Python code raised
// KeyboardInterrupt or SystemExit: the exception object itself, traceback
// attached. A handle, so that dropping it on any thread is safe.
struct PythonStop {
  graph_data::PyObjectHandle exception;
};

class CaughtException;

// Adds `note` to the exception's notes (`add_note` from 3.11; the same list
// by hand before, which the traceback of 3.10 does not print). A failure to
// add it leaves the exception as it was. Lock held.
void add_note(PyObject* exception, const std::string& note) noexcept;

// True for the exceptions that end a whole run when a node function or a
// run callback raises them: KeyboardInterrupt and SystemExit.
bool is_run_stop(PyObject* type) noexcept;

// Ends the run with `caught` (one of the above), which the caller of
// `execute` then receives as it was raised.
[[noreturn]] void stop_run(CaughtException caught);

// Ends the run with a node's failure, `caught`, which the caller of a strict
// run then receives: the nodes running beside it finish first.
[[noreturn]] void stop_run_for_failure(CaughtException caught);

// The exception currently set, normalised, taken out of the interpreter's
// error indicator (which is left clear).
class CaughtException {
 public:
  static CaughtException fetch();

  PyObject* type() const noexcept { return type_.get(); }
  PyObject* value() const noexcept { return value_.get(); }

  // "{qualified type name}: {str(exception)}", the description used in
  // messages; "<exception str() failed>" stands in for a text that cannot
  // be made. Leaves the error indicator clear.
  std::string describe() const;

  // `str(exception)`, or "<exception str() failed>".
  std::string text() const;

  // Sets the exception again as the current one, unchanged.
  void restore() &&;

  // The exception object, its traceback attached, ready to travel.
  OwnedRef take_value_with_traceback() &&;

 private:
  OwnedRef type_;
  OwnedRef value_;
  OwnedRef traceback_;
};

// Sets the Python exception that stands for the C++ exception being handled:
// `PythonError` keeps what is set, a run stop restores its Python exception,
// `dag::Panic` becomes `PanicException(message)`, `std::bad_alloc` becomes
// MemoryError, anything else SystemError. Call only inside a catch block.
void set_python_error_from_current_exception() noexcept;

// The frame of every function that Python calls: applies deferred counts,
// runs `body` and turns any C++ exception into NULL plus a Python exception,
// so that nothing unwinds into the interpreter. The one unwinding let
// through is the interpreter's own, when it ends a thread during
// finalisation.
template <class Body>
PyObject* entry_point(Body&& body) {
  apply_pending_references();
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace corvane::python_bindings
