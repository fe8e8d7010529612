#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

// The seam between the native core and the interpreter that owns the objects
// behind `PyObjectHandle` values and runs the code of node functions. The
// core never calls the interpreter itself: it asks the installed host to take
// or give back one reference count, and tells it about the threads that may
// call into it.

namespace corvane::graph_data {

struct HostHooks {
  // Adds one count to the object. Must be safe on any thread, with or without
  // the interpreter lock (a host defers the change when the lock is not held).
  void (*retain)(void* object) = nullptr;
  // Gives back one count, under the same rules as `retain`.
  void (*release)(void* object) = nullptr;

  // Called on a pool worker thread before its first task, and before it
  // ends, so that the host can keep per-thread state for the worker's life.
  void (*worker_started)() = nullptr;
  void (*worker_exiting)() = nullptr;
  // Called on any thread that is about to block until other threads have
  // done some work (an idle worker, a caller waiting for a wave): a host lock
  // that this thread kept between calls must be given up now, or the others
  // could never take it.
  void (*before_wait)() = nullptr;

  // How many threads are queueing to take the host's lock right now, as far
  // as the host can tell. While any are, another worker could only queue
  // behind them.
  std::size_t (*lock_queue)() = nullptr;
  // Called now and then on a thread that waits for workers, after
  // `before_wait`: the host takes its lock back for a moment, looks for
  // events that must end the run at once (an interrupt), for which it
  // throws `node::RunStop`, and gives the lock up again. Returns how long
  // taking the lock took: when it was free at once, the workers are all
  // blocked without it, and another worker would help.
  std::chrono::nanoseconds (*check_in)() = nullptr;
  // True once threads that gave up the host's lock can no longer take it
  // back (the host is shutting down): only the thread that holds it can run
  // tasks then.
  bool (*closing)() = nullptr;
};

// Installs the hooks used by every later copy and release of a handle and by
// every worker. `hooks` is kept by reference and must never change or go
// away (a constant in static storage). Safe on any thread at any time: a
// worker that reads the hooks while they are installed sees either the old
// set or the new one, whole.
void install_host_hooks(const HostHooks& hooks);

// The hooks in force; every pointer is null until a host is installed.
const HostHooks& host_hooks();

// Calls one of the optional hooks, if installed.
inline void call_host_hook(void (*HostHooks::*hook)()) {
  if (auto* function = host_hooks().*hook) function();
}

}  // namespace corvane::graph_data
