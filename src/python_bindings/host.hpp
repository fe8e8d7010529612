#pragma once

// The interpreter side of the core's host hooks: reference counts changed on
// threads without the interpreter lock are deferred to the next thread that
// enters the interpreter through this module; pool workers get thread states
// of their own (see interpreter_lock.hpp).

#include <Python.h>

namespace corvane::python_bindings {

// Installs the deferred reference counting and the worker thread hooks as
// the core's host hooks, and arranges for the worker pool to let go of the
// interpreter when it is finalised. Called once, at module start-up, with
// the lock held, before any handle exists.
void install_host();

// The module functions that tune the worker pool: `set_max_workers`.
extern PyMethodDef pool_functions[];

// The interpreter the module was started in.
PyInterpreterState* host_interpreter() noexcept;

// Applies every count change deferred by threads that did not hold the
// interpreter lock: all increments first, then all decrements. The caller
// holds the lock. Costs one atomic load when nothing is pending.
void apply_pending_references() noexcept;

}  // namespace corvane::python_bindings
