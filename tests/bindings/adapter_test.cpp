// The node-function adapter with native inputs and variant parameters, which
// only C++ node functions and nodes can hand it.

#include "python_bindings/adapter.hpp"

#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "embedded_python.hpp"

namespace corvane::python_bindings {
namespace {

using embedded::canonical;
using embedded::main_global;
using embedded::map_of;
using embedded::run_python;
using graph_data::Context;
using graph_data::Int;
using graph_data::IntList;
using graph_data::String;

class Adapter : public ::testing::Test {
 protected:
  void SetUp() override {
    run_python(R"py(
calls = []
def record(inputs, params):
    calls.append((inputs, params))
    return {"seen": len(inputs), 7: "dropped"}
stderr = StreamCollector()
saved_stderr, sys.stderr = sys.stderr, stderr
)py");
    function_ = create_python_node_function(main_global("record").borrow());
  }

  void TearDown() override { run_python("sys.stderr = saved_stderr"); }

  std::string calls() { return canonical(main_global("calls")); }

  // Every text written to the replaced `sys.stderr`.
  std::vector<std::string> messages() {
    OwnedRef stream = main_global("stderr");
    OwnedRef writes = OwnedRef::new_reference(PyObject_GetAttrString(stream.get(), "writes"));
    std::vector<std::string> texts;
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(writes.get()); ++index)
      texts.emplace_back(PyUnicode_AsUTF8(PyList_GET_ITEM(writes.get(), index)));
    return texts;
  }

  node::NodeFunction function_ = node::NodeFunction::noop();
};

TEST_F(Adapter, ConvertsNativeInputsAndParametersForEveryCall) {
  const Context inputs{{"n", Int{5}}, {"xs", map_of({{"0", IntList{1}}, {"1", String("a")}})}};
  const Context params{{"scale", 0.5}};
  for (int call = 0; call < 2; ++call) {
    const Context result = function_(inputs, params);
    ASSERT_EQ(result.size(), 1u);
    const auto& seen = std::get<graph_data::PyObjectHandle>(result.at("seen"));
    EXPECT_EQ(canonical(OwnedRef::add_reference(BorrowedRef(static_cast<PyObject*>(seen.get())))),
              "2");
  }
  EXPECT_EQ(calls(),
            "[({'n': 5, 'xs': [[1], 'a']}, {'scale': 0.5}), ({'n': 5, 'xs': [[1], 'a']}, {'scale': "
            "0.5})]");
  // Fresh objects every call: nothing is cached between invocations.
  run_python("assert calls[0][0]['xs'] is not calls[1][0]['xs']");
  EXPECT_TRUE(messages().empty());
}

TEST_F(Adapter, InputThatCannotBeConvertedIsReportedAndTheFunctionIsNotCalled) {
  const Context bad{{"bad", String("\xff")}};
  EXPECT_TRUE(function_(bad, Context{}).empty());
  EXPECT_TRUE(function_(Context{}, bad).empty());
  EXPECT_EQ(calls(), "[]");
  const std::string message =
      "Error setting input 'bad': UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff in "
      "position 0: invalid start byte\n";
  EXPECT_EQ(messages(), std::vector<std::string>({message, message}));
  EXPECT_FALSE(PyErr_Occurred());
}

}  // namespace
}  // namespace corvane::python_bindings
