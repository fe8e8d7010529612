#pragma once

// Who holds the interpreter lock, and for how long. Threads that run nodes
// again and again (pool workers, and the thread inside `Dag.execute`) keep
// one thread state of their own and, once they have taken the lock for a
// node, keep it for the next one: Python code of two nodes never runs at the
// same instant anyway, so handing the lock over between nodes would only
// cost time. They give it up whenever they wait for other threads (the
// engine says when, through the host hooks), and Python code switches
// threads inside a node exactly as between ordinary Python threads.
//
// Once the interpreter is finalising, a thread that would need the lock
// back stops for good instead (as the interpreter itself treats its daemon
// threads): it never touches the interpreter again.

#include <Python.h>
#include <cxxabi.h>

#include <chrono>
#include <cstddef>

#include "python_bindings/host.hpp"

namespace corvane::python_bindings {

// The thread hooks of the host: a worker's own thread state, created when
// it starts and destroyed when it leaves, and the lock given up before a
// wait.
void worker_started() noexcept;
void worker_exiting();
void before_wait() noexcept;

// How many threads wait in this module to take the lock back for a node.
std::size_t lock_queue() noexcept;

// On a thread that keeps a thread state and has given the lock up to wait
// for workers: takes the lock back, runs the signal handlers of any signals
// that arrived, and gives the lock up again. An exception they raise
// (KeyboardInterrupt from Ctrl-C) ends the run as a `node::RunStop`, with
// the lock held. Returns how long taking the lock took.
std::chrono::nanoseconds check_in();

// True once the interpreter is finalising: threads that gave the lock up
// cannot take it back.
bool interpreter_shutting_down() noexcept;

// From now on, threads stop instead of taking the lock back, and workers
// leave their thread states to the interpreter. Called at the end of the
// interpreter's finalisation.
void mark_interpreter_gone() noexcept;

// True when this thread holds the lock through its own or its kept thread
// state.
bool holds_interpreter_lock() noexcept;

// Holds the lock for one node-function call: taken if needed and kept
// afterwards on a thread that keeps it between calls, taken through the
// thread-state interface and given back at the end on any other thread.
// Applies the deferred counts once the lock is held.
class NodeCallLock {
 public:
  NodeCallLock();
  ~NodeCallLock();
  NodeCallLock(const NodeCallLock&) = delete;
  NodeCallLock& operator=(const NodeCallLock&) = delete;

 private:
  bool borrowed_ = false;
  PyGILState_STATE state_{};
};

// The engine run of `Dag.execute`: the calling thread, which holds the lock,
// keeps it while the engine runs its nodes and gives it up only while it
// waits for workers. `hold_again` takes it back if it was given up.
class EngineRun {
 public:
  EngineRun() noexcept;
  ~EngineRun();
  EngineRun(const EngineRun&) = delete;
  EngineRun& operator=(const EngineRun&) = delete;

  void hold_again();

 private:
  PyThreadState* outer_kept_;
};

// Runs `body` (the engine) as an `EngineRun` and returns with the lock held
// however it ends, except when the interpreter unwinds the thread itself.
template <class Body>
auto run_engine(Body body) {
  EngineRun run;
  try {
    auto result = body();
    run.hold_again();
    return result;
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    run.hold_again();
    throw;
  }
}

}  // namespace corvane::python_bindings
