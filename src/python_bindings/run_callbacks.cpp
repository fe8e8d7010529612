#include "python_bindings/run_callbacks.hpp"

#include <atomic>
#include <utility>

#include "python_bindings/errors.hpp"
#include "python_bindings/instance.hpp"

namespace corvane::python_bindings {

namespace {

// The active hooks, a non-empty tuple, or null for none. Guarded by the
// interpreter lock. Owned by this slot for the life of the process: it is
// not released at exit, when the interpreter is already gone.
PyObject* active = nullptr;

std::atomic<std::uint64_t> run_ids{0};

// The run whose hooks this thread is calling, 0 for none.
thread_local std::uint64_t current_run = 0;

class CurrentRun {
 public:
  explicit CurrentRun(std::uint64_t id) noexcept : saved_(std::exchange(current_run, id)) {}
  ~CurrentRun() { current_run = saved_; }
  CurrentRun(const CurrentRun&) = delete;
  CurrentRun& operator=(const CurrentRun&) = delete;

 private:
  std::uint64_t saved_;
};

PyObject* hook_of(PyObject* entry, Hook hook) noexcept {
  return PyTuple_GET_ITEM(entry, static_cast<Py_ssize_t>(hook));
}

PyObject* set_callbacks(PyObject* /*module*/, PyObject* hooks) {
  return entry_point([&] {
    if (!PyTuple_CheckExact(hooks))
      throw_python_error(PyExc_TypeError, "_set_callbacks() takes a tuple");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(hooks); ++i) {
      PyObject* entry = PyTuple_GET_ITEM(hooks, i);
      if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 4)
        throw_python_error(PyExc_TypeError, "each callback is a tuple of four hooks");
    }
    PyObject* kept = PyTuple_GET_SIZE(hooks) == 0 ? nullptr : hooks;
    const OwnedRef replaced = OwnedRef::new_reference_or_null(
        std::exchange(active, OwnedRef::add_reference(BorrowedRef(kept)).release()));
    return OwnedRef::add_reference(BorrowedRef(Py_None)).release();
  });
}

PyObject* current_run_id(PyObject* /*module*/, PyObject* /*unused*/) {
  return entry_point([] {
    if (current_run == 0) return OwnedRef::add_reference(BorrowedRef(Py_None)).release();
    return PyLong_FromUnsignedLongLong(current_run);
  });
}

}  // namespace

OwnedRef active_hooks() noexcept {
  return OwnedRef::add_reference(BorrowedRef(active));
}

bool has_hook(BorrowedRef hooks, Hook hook) noexcept {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(hooks.get()); ++i)
    if (hook_of(PyTuple_GET_ITEM(hooks.get(), i), hook) != Py_None) return true;
  return false;
}

void call_hooks(BorrowedRef hooks, Hook hook, std::uint64_t run_id, PyObject* const* arguments,
                Py_ssize_t count, bool stops_allowed) {
  const CurrentRun running(run_id);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(hooks.get()); ++i) {
    PyObject* function = hook_of(PyTuple_GET_ITEM(hooks.get(), i), hook);
    if (function == Py_None) continue;
    const OwnedRef result =
        OwnedRef::new_reference_or_null(PyObject_Vectorcall(function, arguments, count, nullptr));
    if (result) continue;
    CaughtException caught = CaughtException::fetch();
    if (is_run_stop(caught.type())) {
      if (stops_allowed) stop_run(std::move(caught));
      continue;  // The run is ending already, with its own exception.
    }
    std::move(caught).restore();
    PyErr_PrintEx(0);
  }
}

std::uint64_t next_run_id() noexcept {
  return run_ids.fetch_add(1, std::memory_order_relaxed) + 1;
}

PyMethodDef run_callback_functions[] = {
    {"_set_callbacks", &set_callbacks, METH_O,
     "_set_callbacks(hooks, /)\n--\n\n"
     "Makes `hooks` the active run callbacks: a tuple with one (start, node_start, "
     "node_finish, finish) tuple per callback, each hook a callable or None."},
    {"_current_run", &current_run_id, METH_NOARGS,
     "_current_run()\n--\n\n"
     "The id of the run whose callback is being called on this thread, or None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace corvane::python_bindings
