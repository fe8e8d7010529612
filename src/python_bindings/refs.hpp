#pragma once

// Python references as types. An `OwnedRef` holds one count of an object and
// gives it back when it goes; a `BorrowedRef` names an object that someone
// else keeps alive and is never stored beyond the call that received it.
// A failed C API call becomes a `PythonError` (the interpreter's error
// indicator stays set), which every entry point turns back into NULL.

#include <Python.h>

#include <exception>
#include <utility>

namespace corvane::python_bindings {

// Thrown when the interpreter has reported an error: the Python exception is
// set and travels with the thread, this only unwinds the C++ stack to the
// entry point, which returns NULL.
class PythonError : public std::exception {
 public:
  const char* what() const noexcept override { return "a Python exception is set"; }
};

// Returns `object`, or throws `PythonError` when the call that produced it
// failed (returned NULL with an exception set).
template <class T>
T* require(T* object) {
  if (object == nullptr) throw PythonError();
  return object;
}

// Throws `PythonError` for a C API status result below zero.
inline int require_status(int status) {
  if (status < 0) throw PythonError();
  return status;
}

// Sets `type` with `message` as the current exception and unwinds.
[[noreturn]] inline void throw_python_error(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError();
}

// The thread state attached on this thread: non-null exactly when this
// thread holds the interpreter lock.
inline PyThreadState* attached_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

class BorrowedRef {
 public:
  constexpr explicit BorrowedRef(PyObject* object) noexcept : object_(object) {}
  constexpr PyObject* get() const noexcept { return object_; }

 private:
  PyObject* object_;
};

class OwnedRef {
 public:
  constexpr OwnedRef() noexcept = default;

  // Takes over a new reference returned by the C API; a NULL result means
  // the call failed, which throws `PythonError`.
  static OwnedRef new_reference(PyObject* object) { return OwnedRef(require(object)); }

  // Takes over a new reference that may be NULL without an error being set
  // (as handed out by the exception-fetching calls).
  static OwnedRef new_reference_or_null(PyObject* object) noexcept { return OwnedRef(object); }

  // Adds a count to an object that the caller only borrows.
  static OwnedRef add_reference(BorrowedRef object) noexcept {
    Py_XINCREF(object.get());
    return OwnedRef(object.get());
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    OwnedRef taken(std::move(other));
    std::swap(object_, taken.object_);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  // A thread that the interpreter unwinds while it finalises (it no longer
  // holds the lock) leaves the object to the interpreter.
  ~OwnedRef() {
    if (object_ != nullptr && attached_thread_state() != nullptr) Py_DECREF(object_);
  }

  PyObject* get() const noexcept { return object_; }
  BorrowedRef borrow() const noexcept { return BorrowedRef(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the count to the caller (typically as a C API return value).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  constexpr explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace corvane::python_bindings
