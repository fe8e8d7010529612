#include "python_bindings/interpreter_lock.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "python_bindings/errors.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

namespace {

// The thread state that this thread attaches itself and keeps attached
// between node calls: a worker's own, or the caller's during `Dag.execute`.
thread_local PyThreadState* kept_state = nullptr;

std::atomic<bool> interpreter_gone{false};

// Threads inside `hold_kept_state` that wait for the lock.
std::atomic<std::size_t> lock_queue_length{0};

bool interpreter_finalising() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

bool interpreter_closing() noexcept {
  return interpreter_gone.load(std::memory_order_acquire) || interpreter_finalising();
}

// Taking the lock while the interpreter is finalising would end the thread
// from inside the interpreter; this thread stops here for good instead.
[[noreturn]] void stop_for_good() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void hold_kept_state() {
  if (attached_thread_state() == kept_state) return;
  if (interpreter_closing()) stop_for_good();
  lock_queue_length.fetch_add(1, std::memory_order_relaxed);
  PyEval_RestoreThread(kept_state);
  lock_queue_length.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

void worker_started() noexcept {
  if (!interpreter_closing()) kept_state = PyThreadState_New(host_interpreter());
}

void worker_exiting() {
  PyThreadState* own = std::exchange(kept_state, nullptr);
  // After finalisation the interpreter has freed every thread state itself.
  if (own == nullptr || interpreter_closing()) return;
  PyEval_RestoreThread(own);
  PyThreadState_Clear(own);
  PyThreadState_DeleteCurrent();
}

void before_wait() noexcept {
  if (kept_state != nullptr && attached_thread_state() == kept_state) PyEval_SaveThread();
}

std::size_t lock_queue() noexcept {
  return lock_queue_length.load(std::memory_order_relaxed);
}

std::chrono::nanoseconds check_in() {
  if (kept_state == nullptr || attached_thread_state() == kept_state) return {};
  if (interpreter_closing()) stop_for_good();
  const auto began = std::chrono::steady_clock::now();
  PyEval_RestoreThread(kept_state);
  const auto waited = std::chrono::steady_clock::now() - began;
  // Only the main thread runs signal handlers; elsewhere this returns 0.
  if (PyErr_CheckSignals() < 0) stop_run(CaughtException::fetch());
  PyEval_SaveThread();
  return waited;
}

bool interpreter_shutting_down() noexcept {
  return interpreter_closing();
}

void mark_interpreter_gone() noexcept {
  interpreter_gone.store(true, std::memory_order_release);
}

bool holds_interpreter_lock() noexcept {
  PyThreadState* attached = attached_thread_state();
  return attached != nullptr &&
         (attached == kept_state || attached == PyGILState_GetThisThreadState());
}

NodeCallLock::NodeCallLock() {
  if (kept_state != nullptr) {
    hold_kept_state();
  } else {
    if (interpreter_closing()) stop_for_good();
    state_ = PyGILState_Ensure();
    borrowed_ = true;
  }
  apply_pending_references();
}

NodeCallLock::~NodeCallLock() {
  // A thread that the interpreter unwinds no longer holds the lock.
  if (borrowed_ && attached_thread_state() != nullptr) PyGILState_Release(state_);
}

EngineRun::EngineRun() noexcept : outer_kept_(std::exchange(kept_state, attached_thread_state())) {}

EngineRun::~EngineRun() {
  kept_state = outer_kept_;
}

void EngineRun::hold_again() {
  hold_kept_state();
  apply_pending_references();
}

}  // namespace corvane::python_bindings
