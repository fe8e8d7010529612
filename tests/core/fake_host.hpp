#pragma once

// A stand-in for the interpreter: objects are plain counters, and the host
// hooks raise and lower them. Workers copy and drop handles concurrently, so
// the counts are atomic. A test adopts one count when it makes a handle;
// once every handle is gone the object's count must be back at zero. The
// host also counts the thread events that workers report.

#include <atomic>

#include "graph_data/host_hooks.hpp"
#include "graph_data/py_object_handle.hpp"

namespace corvane::testing {

struct ThreadEvents {
  std::atomic<long> started{0};
  std::atomic<long> exiting{0};
  std::atomic<long> waits{0};
};

inline ThreadEvents thread_events;

struct FakeObject {
  std::atomic<long> count{0};
  // Set when a release finds no count left to give back.
  std::atomic<bool> over_released{false};

  // A handle owning one new count of this object.
  graph_data::PyObjectHandle handle() {
    install();
    count.fetch_add(1);
    return graph_data::PyObjectHandle::adopt(this);
  }

  // Installs the hooks before the first handle exists; pool workers of
  // earlier tests may be reading the hooks meanwhile.
  static void install() {
    static constexpr graph_data::HostHooks hooks{&retain, &release, [] { ++thread_events.started; },
                                                 [] { ++thread_events.exiting; },
                                                 [] { ++thread_events.waits; }};
    graph_data::install_host_hooks(hooks);
  }

 private:
  static void retain(void* object) { static_cast<FakeObject*>(object)->count.fetch_add(1); }
  static void release(void* object) {
    auto* fake = static_cast<FakeObject*>(object);
    if (fake->count.fetch_sub(1) <= 0) fake->over_released = true;
  }
};

}  // namespace corvane::testing
