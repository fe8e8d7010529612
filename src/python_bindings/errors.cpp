#include "python_bindings/errors.hpp"

#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>

#include "dag/panic.hpp"
#include "node/run_stop.hpp"
#include "python_bindings/conversion.hpp"

namespace corvane::python_bindings {

namespace {

// The class object lives as long as the process: the module is initialised
// once and never unloaded, so this count is never given back.
PyObject* panic_type = nullptr;

constexpr const char* panic_doc =
    "Raised when a call into corvane fails unrecoverably, for instance when a worker thread of a "
    "parallel run fails or cannot be started. Derives from BaseException; its single argument is "
    "the failure's message.";

constexpr const char* unprintable = "<exception str() failed>";

// Writes the UTF-8 text of `str(object)` into `text`; false when it cannot be
// made (an exception may then be set).
bool text_of(PyObject* object, std::string& text) noexcept {
  OwnedRef converted = OwnedRef::new_reference_or_null(PyObject_Str(object));
  if (!converted) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(converted.get(), &size);
  if (data == nullptr) return false;
  try {
    text.assign(data, static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void raise_panic(std::string_view message) noexcept {
  // Replacing undecodable bytes: a system's error text need not be UTF-8.
  OwnedRef text = OwnedRef::new_reference_or_null(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // The failure to make the text is the exception now.
  PyErr_SetObject(panic_type, text.get());
}

void restore_stopping_exception(const std::shared_ptr<void>& payload) noexcept {
  const auto* stop = static_cast<const PythonStop*>(payload.get());
  auto* exception = stop != nullptr ? static_cast<PyObject*>(stop->exception.get()) : nullptr;
  if (exception == nullptr) {
    PyErr_SetString(PyExc_SystemError, "a run was stopped without an exception to report");
    return;
  }
  // Raised as the very object that the node function raised.
  OwnedRef type =
      OwnedRef::add_reference(BorrowedRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))));
  OwnedRef value = OwnedRef::add_reference(BorrowedRef(exception));
  OwnedRef traceback = OwnedRef::new_reference_or_null(PyException_GetTraceback(exception));
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

}  // namespace

OwnedRef create_panic_exception_type() {
  OwnedRef type = OwnedRef::new_reference(
      PyErr_NewExceptionWithDoc("corvane.PanicException", panic_doc, PyExc_BaseException, nullptr));
  panic_type = OwnedRef::add_reference(type.borrow()).release();
  return type;
}

PyObject* panic_exception_type() noexcept {
  return panic_type;
}

CaughtException CaughtException::fetch() {
  CaughtException caught;
#if PY_VERSION_HEX >= 0x030C0000
  // Newer interpreters keep the exception normalised, traceback attached.
  caught.value_ = OwnedRef::new_reference_or_null(PyErr_GetRaisedException());
  if (caught.value_) {
    caught.type_ = OwnedRef::add_reference(
        BorrowedRef(reinterpret_cast<PyObject*>(Py_TYPE(caught.value_.get()))));
    caught.traceback_ =
        OwnedRef::new_reference_or_null(PyException_GetTraceback(caught.value_.get()));
  }
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  caught.type_ = OwnedRef::new_reference_or_null(type);
  caught.value_ = OwnedRef::new_reference_or_null(value);
  caught.traceback_ = OwnedRef::new_reference_or_null(traceback);
  // As newer interpreters do: a failure kept as an object shows where it
  // was raised.
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
#endif
  return caught;
}

std::string CaughtException::text() const {
  std::string text;
  if (!value_ || !text_of(value_.get(), text)) {
    PyErr_Clear();
    return unprintable;
  }
  return text;
}

std::string CaughtException::describe() const {
  std::string name = "<unknown>";
  if (type_) {
    OwnedRef qualname =
        OwnedRef::new_reference_or_null(PyObject_GetAttrString(type_.get(), "__qualname__"));
    if (!qualname || !text_of(qualname.get(), name)) PyErr_Clear();
  }
  return name + ": " + text();
}

void CaughtException::restore() && {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

OwnedRef CaughtException::take_value_with_traceback() && {
  return std::move(value_);
}

void add_note(PyObject* exception, const std::string& note) noexcept {
  try {
    OwnedRef text = str_from_text(note);
    OwnedRef notes =
        OwnedRef::new_reference_or_null(PyObject_GetAttrString(exception, "__notes__"));
    if (!notes) {
      PyErr_Clear();
    } else if (PyList_Check(notes.get()) &&
               require_status(PySequence_Contains(notes.get(), text.get())) == 1) {
      return;  // The same exception object failed again: one note is enough.
    }
#if PY_VERSION_HEX >= 0x030B0000
    OwnedRef added =
        OwnedRef::new_reference(PyObject_CallMethod(exception, "add_note", "O", text.get()));
#else
    if (!notes) {
      notes = OwnedRef::new_reference(PyList_New(0));
      require_status(PyObject_SetAttrString(exception, "__notes__", notes.get()));
    }
    require_status(PyList_Append(notes.get(), text.get()));
#endif
  } catch (const PythonError&) {
    PyErr_Clear();
  }
}

bool is_run_stop(PyObject* type) noexcept {
  return PyErr_GivenExceptionMatches(type, PyExc_KeyboardInterrupt) ||
         PyErr_GivenExceptionMatches(type, PyExc_SystemExit);
}

void stop_run(CaughtException caught) {
  OwnedRef exception = std::move(caught).take_value_with_traceback();
  throw node::RunStop(std::make_shared<PythonStop>(
      PythonStop{graph_data::PyObjectHandle::adopt(exception.release())}));
}

void stop_run_for_failure(CaughtException caught) {
  OwnedRef exception = std::move(caught).take_value_with_traceback();
  throw node::RunStop(std::make_shared<PythonStop>(
                          PythonStop{graph_data::PyObjectHandle::adopt(exception.release())}),
                      node::RunStop::Running::awaited);
}

void set_python_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "a call failed without setting an exception");
  } catch (const node::RunStop& stop) {
    restore_stopping_exception(stop.payload());
  } catch (const dag::Panic& panic) {
    raise_panic(panic.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "an unknown native exception ended the call");
  }
}

}  // namespace corvane::python_bindings
