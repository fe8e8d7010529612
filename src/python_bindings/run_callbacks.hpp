#pragma once

// The run callbacks that the `corvane` package has made active, as the
// private module functions `_set_callbacks` and `_current_run` see them, and
// the calling of their hooks.

#include <Python.h>

#include <cstdint>

#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// The hooks of one callback, in this order in each entry of the tuple that
// `_set_callbacks` receives; each is a callable or None.
enum class Hook : Py_ssize_t { kStart = 0, kNodeStart = 1, kNodeFinish = 2, kFinish = 3 };

// A new reference to the tuple of active callbacks' hooks, or null when
// none is active: a run with no callback pays this one look-up. Lock held.
OwnedRef active_hooks() noexcept;

// True when an entry of `hooks` has a callable for `hook`.
bool has_hook(BorrowedRef hooks, Hook hook) noexcept;

// Calls `hook` of every entry of `hooks`, in order, with `arguments`, as run
// `run_id` (what `_current_run()` answers meanwhile). Lock held. A hook that
// raises has its traceback printed and the others still run; one raising
// KeyboardInterrupt or SystemExit ends the run (`node::RunStop`), or is
// dropped when `stops_allowed` is false (the run is ending already).
void call_hooks(BorrowedRef hooks, Hook hook, std::uint64_t run_id, PyObject* const* arguments,
                Py_ssize_t count, bool stops_allowed = true);

// A fresh id for a run that has callbacks to call.
std::uint64_t next_run_id() noexcept;

// The module functions `_set_callbacks(hooks)` and `_current_run()`, for the
// module's function table.
extern PyMethodDef run_callback_functions[];

}  // namespace corvane::python_bindings
