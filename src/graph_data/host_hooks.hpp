#pragma once

#include <atomic>

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
