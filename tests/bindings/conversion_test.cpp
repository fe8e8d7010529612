#include "python_bindings/conversion.hpp"

#include <Python.h>
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "embedded_python.hpp"

namespace corvane::python_bindings {
namespace {

using embedded::canonical;
using embedded::map_of;
using graph_data::FloatList;
using graph_data::Int;
using graph_data::IntList;
using graph_data::Map;
using graph_data::None;
using graph_data::PyObjectHandle;
using graph_data::String;

std::string converted(const GraphData& value) {
  return canonical(graph_data_to_python(value));
}

struct Case {
  const char* name;
  GraphData value;
  const char* python;
};

class Conversion : public ::testing::TestWithParam<Case> {};

TEST_P(Conversion, GivesThePythonObjectDescribed) {
  EXPECT_EQ(converted(GetParam().value), GetParam().python);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, Conversion,
    ::testing::Values(
        Case{"Int", GraphData(Int{5}), "5"},
        Case{"IntMin", GraphData(std::numeric_limits<Int>::min()), "-9223372036854775808"},
        Case{"Float", GraphData(1.5), "1.5"},
        Case{"FloatInfinity", GraphData(-std::numeric_limits<double>::infinity()), "-inf"},
        Case{"String", GraphData(String("héllo")), "'héllo'"},
        Case{"EmptyString", GraphData(String()), "''"},
        Case{"StringWithNul", GraphData(String("a\0b", 3)), "'a\\x00b'"},
        Case{"FloatList", GraphData(FloatList{1.0, -2.5}), "[1.0, -2.5]"},
        Case{"IntList", GraphData(IntList{3, 1, 2}), "[3, 1, 2]"},
        Case{"EmptyList", GraphData(IntList{}), "[]"}, Case{"None", GraphData(None{}), "None"},
        Case{"EmptyMap", map_of({}), "{}"},
        Case{"ListShaped", map_of({{"0", Int{5}}, {"1", String("x")}}), "[5, 'x']"},
        Case{"ListShapedOtherOrder", map_of({{"1", String("x")}, {"0", Int{5}}}), "[5, 'x']"},
        Case{"Gap", map_of({{"0", Int{5}}, {"2", Int{6}}}), "{'0': 5, '2': 6}"},
        Case{"Complex", map_of({{"0", map_of({{"re", 1.5}, {"im", Int{2}}})}}), "[(1.5, 2.0)]"},
        Case{"ComplexOtherVariant",
             map_of({{"0", map_of({{"re", 1.5}, {"im", String("2")}})},
                     {"1", map_of({{"re", None{}}, {"im", -1.0}, {"extra", Int{1}}})}}),
             "[(1.5, 0.0), (0.0, -1.0)]"},
        Case{"ComplexMixed", map_of({{"0", map_of({{"re", 1.0}, {"im", 0.0}})}, {"1", Int{3}}}),
             "[{'im': 0.0, 're': 1.0}, 3]"},
        Case{"ReImAloneStaysDict", map_of({{"re", 1.0}, {"im", 2.0}}), "{'im': 2.0, 're': 1.0}"},
        Case{"NegativeKey", map_of({{"-1", Int{1}}}), "{'-1': 1}"},
        Case{"EmptyKey", map_of({{"", Int{1}}}), "{'': 1}"},
        Case{"OneWithoutZero", map_of({{"1", Int{1}}}), "{'1': 1}"},
        Case{"LeadingZero", map_of({{"0", Int{1}}, {"01", Int{2}}}), "{'0': 1, '01': 2}"},
        Case{"LeadingPlus", map_of({{"0", Int{1}}, {"+1", Int{2}}}), "{'+1': 2, '0': 1}"},
        Case{"Nested", map_of({{"0", map_of({{"k", IntList{1}}})}, {"1", map_of({{"0", None{}}})}}),
             "[{'k': [1]}, [None]]"},
        Case{"InvalidTextLeftOut", map_of({{"ok", Int{1}}, {"bad", String("\xff")}}), "{'ok': 1}"},
        Case{"InvalidKeyLeftOut", map_of({{"ok", Int{1}}, {"\xfe", Int{2}}}), "{'ok': 1}"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Conversion, InvalidTextAtTheTopIsAnError) {
  EXPECT_THROW(graph_data_to_python(GraphData(String("\xff"))), PythonError);
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_UnicodeDecodeError));
  PyErr_Clear();
}

TEST(Conversion, HeldObjectComesBackItselfWithOneMoreReference) {
  OwnedRef object = OwnedRef::new_reference(PyList_New(0));
  const Py_ssize_t before = Py_REFCNT(object.get());
  {
    const GraphData held(PyObjectHandle::adopt(OwnedRef::add_reference(object.borrow()).release()));
    OwnedRef back = graph_data_to_python(held);
    EXPECT_EQ(back.get(), object.get());
    EXPECT_EQ(Py_REFCNT(object.get()), before + 2);
  }
  EXPECT_EQ(Py_REFCNT(object.get()), before);
}

TEST(Conversion, ContextBecomesDictOfConvertedValues) {
  const Context context{{"a", Int{1}}, {"b", map_of({{"0", 2.0}})}, {"c", None{}}};
  EXPECT_EQ(canonical(context_to_dict(context)), "{'a': 1, 'b': [2.0], 'c': None}");
}

TEST(Conversion, ResultDictKeepsStrKeysAsHeldObjects) {
  embedded::run_python("returned = {'a': [1], 2: 'b', 'c': None}");
  OwnedRef dict = embedded::main_global("returned");
  PyObject* list = PyDict_GetItemString(dict.get(), "a");
  const Context context = dict_to_context(dict.borrow());
  ASSERT_EQ(context.size(), 2u);
  EXPECT_EQ(std::get<PyObjectHandle>(context.at("a")).get(), list);
  EXPECT_EQ(std::get<PyObjectHandle>(context.at("c")).get(), Py_None);
}

}  // namespace
}  // namespace corvane::python_bindings
