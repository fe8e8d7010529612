#pragma once

// The seam between the native core and the interpreter that owns the objects
// behind `PyObjectHandle` values. The core never calls the interpreter itself:
// it only asks the installed host to take or give back one reference count.

namespace corvane::graph_data {

struct HostHooks {
  // Adds one count to the object. Must be safe on any thread, with or without
  // the interpreter lock (a host defers the change when the lock is not held).
  void (*retain)(void* object) = nullptr;
  // Gives back one count, under the same rules as `retain`.
  void (*release)(void* object) = nullptr;
};

// Installs the hooks used by every later copy and release of a handle.
// Called once at start-up, before any handle exists; not thread-safe.
void install_host_hooks(HostHooks hooks);

// The hooks in force; both pointers are null until a host is installed.
const HostHooks& host_hooks();

}  // namespace corvane::graph_data
