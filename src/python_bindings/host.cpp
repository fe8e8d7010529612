#include "python_bindings/host.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "dag/worker_pool.hpp"
#include "graph_data/host_hooks.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/interpreter_lock.hpp"

namespace corvane::python_bindings {

namespace {

// Count changes that threads without the interpreter lock could not make.
// One mutex guards both lists; the flag lets the common case (nothing
// pending) skip the mutex.
struct PendingReferences {
  std::mutex mutex;
  std::vector<PyObject*> increments;
  std::vector<PyObject*> decrements;
  std::atomic<bool> any{false};
};

PendingReferences pending;

// Pushing can only fail when the process is out of memory; the hooks have no
// way to report that, so it ends the process (the hooks are noexcept).
void defer(std::vector<PyObject*> PendingReferences::*list, PyObject* object) noexcept {
  std::lock_guard lock(pending.mutex);
  (pending.*list).push_back(object);
  pending.any.store(true, std::memory_order_release);
}

// Hands the emptied buffer back so that its capacity serves the next burst,
// unless the shared list has meanwhile grown one of its own.
void recycle(std::vector<PyObject*>& shared, std::vector<PyObject*>& drained) {
  drained.clear();
  if (shared.empty() && shared.capacity() < drained.capacity()) shared.swap(drained);
}

void retain(void* object) noexcept {
  auto* python_object = static_cast<PyObject*>(object);
  if (holds_interpreter_lock()) {
    Py_INCREF(python_object);
  } else {
    defer(&PendingReferences::increments, python_object);
  }
}

void release(void* object) noexcept {
  auto* python_object = static_cast<PyObject*>(object);
  if (holds_interpreter_lock()) {
    // A copy of this handle made on another thread may still owe its
    // increment; apply it first so the count never touches zero early.
    apply_pending_references();
    Py_DECREF(python_object);
  } else {
    defer(&PendingReferences::decrements, python_object);
  }
}

PyInterpreterState* interpreter = nullptr;

// A fork() while a worker defers a count would leave the child with the
// list's mutex locked for good; the forking thread holds it across instead.
void lock_pending() {
  pending.mutex.lock();
}
void unlock_pending() {
  pending.mutex.unlock();
}

// At the very end of finalisation: idle workers leave now, busy ones after
// their task, none of them touching the interpreter again.
void let_go_of_interpreter() {
  mark_interpreter_gone();
  dag::WorkerPool::shared().close();
}

PyObject* set_max_workers(PyObject* /*module*/, PyObject* count) {
  return entry_point([&] {
    const std::size_t wanted = PyLong_AsSize_t(count);
    if (wanted == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PythonError();
    if (wanted == 0) throw_python_error(PyExc_ValueError, "max workers must be at least 1");
    dag::WorkerPool& pool = dag::WorkerPool::shared();
    const std::size_t previous = pool.max_threads();
    pool.set_max_threads(wanted);
    return PyLong_FromSize_t(previous);
  });
}

}  // namespace

PyMethodDef pool_functions[] = {
    {"set_max_workers", &set_max_workers, METH_O,
     "set_max_workers(count, /)\n--\n\n"
     "Sets the most worker threads that parallel runs of the process may use "
     "together, and returns the setting it replaces.\n\n"
     "A level that would need more waits for a worker to come free. The setting "
     "starts at the environment variable CORVANE_MAX_WORKERS, or 512."},
    {nullptr, nullptr, 0, nullptr},
};

void install_host() {
  interpreter = PyInterpreterState_Get();
  static constexpr graph_data::HostHooks hooks{
      &retain,      &release,    &worker_started, &worker_exiting,
      &before_wait, &lock_queue, &check_in,       &interpreter_shutting_down};
  graph_data::install_host_hooks(hooks);
  pthread_atfork(&lock_pending, &unlock_pending, &unlock_pending);
  Py_AtExit(&let_go_of_interpreter);
}

PyInterpreterState* host_interpreter() noexcept {
  return interpreter;
}

void apply_pending_references() noexcept {
  if (!pending.any.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> increments;
  std::vector<PyObject*> decrements;
  {
    std::lock_guard lock(pending.mutex);
    increments.swap(pending.increments);
    decrements.swap(pending.decrements);
    pending.any.store(false, std::memory_order_relaxed);
  }
  for (PyObject* object : increments) Py_INCREF(object);
  // Decrements may run finalisers, which may defer or apply counts in turn:
  // that only touches the shared lists, not these local ones.
  for (PyObject* object : decrements) Py_DECREF(object);

  std::lock_guard lock(pending.mutex);
  recycle(pending.increments, increments);
  recycle(pending.decrements, decrements);
}

}  // namespace corvane::python_bindings
