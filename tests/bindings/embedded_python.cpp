#include "embedded_python.hpp"

#include <gtest/gtest.h>

#include "python_bindings/errors.hpp"
#include "python_bindings/host.hpp"

namespace corvane::python_bindings::embedded {

namespace {

constexpr const char* helpers = R"py(
import sys

def canonical(value):
    if type(value) is dict:
        items = ", ".join(f"{key!r}: {canonical(item)}" for key, item in sorted(value.items()))
        return "{" + items + "}"
    if type(value) is list:
        return "[" + ", ".join(canonical(item) for item in value) + "]"
    if type(value) is tuple:
        return "(" + ", ".join(canonical(item) for item in value) + ")"
    return repr(value)

class StreamCollector:
    def __init__(self):
        self.writes = []

    def write(self, text):
        self.writes.append(text)
)py";

class EmbeddedInterpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;
    // The standard library is found next to the interpreter that the build
    // was configured with.
    PyConfig_SetBytesString(&config, &config.program_name, CORVANE_TEST_PYTHON_EXECUTABLE);
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    ASSERT_FALSE(PyStatus_Exception(status)) << (status.err_msg ? status.err_msg : "");
    install_host();
    panic_type_ = create_panic_exception_type();
    run_python(helpers);
  }

  void TearDown() override {
    panic_type_ = OwnedRef();
    Py_FinalizeEx();
  }

 private:
  OwnedRef panic_type_;
};

// gtest takes ownership of the environment.
const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new EmbeddedInterpreter);

}  // namespace

GraphData map_of(std::initializer_list<Context::value_type> entries) {
  return GraphData(graph_data::Map(Context(entries)));
}

OwnedRef main_global(const char* name) {
  return OwnedRef::new_reference(PyObject_GetAttrString(PyImport_AddModule("__main__"), name));
}

std::string canonical(const OwnedRef& object) {
  OwnedRef helper = main_global("canonical");
  OwnedRef text = OwnedRef::new_reference(PyObject_CallOneArg(helper.get(), object.get()));
  return PyUnicode_AsUTF8(text.get());
}

void run_python(const char* source) {
  if (PyRun_SimpleString(source) != 0) ADD_FAILURE() << "Python code failed:\n" << source;
}

}  // namespace corvane::python_bindings::embedded
