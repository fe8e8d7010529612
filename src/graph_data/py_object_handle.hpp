#pragma once

#include <utility>

#include "graph_data/host_hooks.hpp"

namespace corvane::graph_data {

// Owns exactly one reference count of an opaque interpreter object. Copying
// retains and destroying releases through the installed host hooks, so
// handles may be copied and dropped on threads without the interpreter lock.
class PyObjectHandle {
 public:
  // Takes over a count that the caller already owns.
  static PyObjectHandle adopt(void* object) noexcept { return PyObjectHandle(object); }

  PyObjectHandle(const PyObjectHandle& other) noexcept : object_(other.object_) { retain(); }
  PyObjectHandle(PyObjectHandle&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)) {}
  PyObjectHandle& operator=(const PyObjectHandle& other) noexcept {
    PyObjectHandle copy(other);
    swap(copy);
    return *this;
  }
  PyObjectHandle& operator=(PyObjectHandle&& other) noexcept {
    PyObjectHandle taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~PyObjectHandle() { release(); }

  // The object, still owned by this handle; null only after a move.
  void* get() const noexcept { return object_; }

  // Hands the count to the caller and leaves this handle empty.
  void* take() noexcept { return std::exchange(object_, nullptr); }

  void swap(PyObjectHandle& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyObjectHandle(void* object) noexcept : object_(object) {}

  void retain() const noexcept {
    if (object_ != nullptr) host_hooks().retain(object_);
  }
  void release() const noexcept {
    if (object_ != nullptr) host_hooks().release(object_);
  }

  void* object_;
};

}  // namespace corvane::graph_data
