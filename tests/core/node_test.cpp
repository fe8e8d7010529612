#include "node/node.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fake_host.hpp"

namespace corvane::node {
namespace {

using graph_data::GraphData;
using graph_data::Int;
using graph_data::PyObjectHandle;
using Ints = std::map<std::string, std::int64_t>;

Ints ints_of(const Context& context) {
  Ints ints;
  for (const auto& [name, value] : context) ints[name] = std::get<Int>(value);
  return ints;
}

Context context_of(const Ints& ints) {
  Context context;
  for (const auto& [name, value] : ints) context.insert_or_assign(name, Int{value});
  return context;
}

NameMap names(std::vector<NamePair> pairs) {
  return NameMap(std::move(pairs));
}

struct ExecuteCase {
  const char* name;
  std::vector<NamePair> inputs;   // (broadcast, implementation)
  std::vector<NamePair> outputs;  // (implementation, broadcast)
  Ints context;
  Ints returned;                     // what the function gives back
  std::vector<Ints> allowed_seen;    // what the function may receive
  std::vector<Ints> allowed_output;  // what `execute` may return
  friend void PrintTo(const ExecuteCase& c, std::ostream* out) { *out << c.name; }
};

class NodeExecuteTest : public ::testing::TestWithParam<ExecuteCase> {};

TEST_P(NodeExecuteTest, MapsNamesBothWays) {
  const ExecuteCase& c = GetParam();
  int calls = 0;
  Ints seen;
  Node node(0, NodeFunction([&](const Context& inputs, const Context& params) {
              ++calls;
              seen = ints_of(inputs);
              EXPECT_TRUE(params.empty());
              return context_of(c.returned);
            }),
            std::nullopt, NameMap(c.inputs), NameMap(c.outputs));
  const Context context = context_of(c.context);

  const Ints output = ints_of(node.execute(context));

  EXPECT_EQ(calls, 1);
  EXPECT_NE(std::find(c.allowed_seen.begin(), c.allowed_seen.end(), seen), c.allowed_seen.end())
      << ::testing::PrintToString(seen);
  EXPECT_NE(std::find(c.allowed_output.begin(), c.allowed_output.end(), output),
            c.allowed_output.end())
      << ::testing::PrintToString(output);
  EXPECT_EQ(ints_of(context), c.context);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NodeExecuteTest,
    ::testing::Values(
        ExecuteCase{"MissingInputIsSkipped",
                    {{"a", "x"}, {"missing", "y"}},
                    {},
                    {{"a", 1}},
                    {},
                    {{{"x", 1}}},
                    {{}}},
        ExecuteCase{"UnnamedVariablesAreInvisible",
                    {{"a", "x"}},
                    {},
                    {{"a", 1}, {"b", 2}},
                    {},
                    {{{"x", 1}}},
                    {{}}},
        ExecuteCase{"NoInputsGiveAnEmptyInputMap", {}, {}, {{"a", 1}}, {}, {{}}, {{}}},
        ExecuteCase{"OnlyMappedResultsLeave",
                    {},
                    {{"r", "out"}},
                    {},
                    {{"r", 1}, {"extra", 2}},
                    {{}},
                    {{{"out", 1}}}},
        ExecuteCase{"MissingMappedOutputIsSkipped",
                    {},
                    {{"r", "out"}, {"gone", "g"}},
                    {},
                    {{"r", 1}},
                    {{}},
                    {{{"out", 1}}}},
        ExecuteCase{"EmptyOutputMappingGivesNothing", {}, {}, {}, {{"r", 1}}, {{}}, {{}}},
        ExecuteCase{"EmptyResultGivesNothing", {}, {{"r", "out"}}, {}, {}, {{}}, {{}}},
        ExecuteCase{"TwoBroadcastNamesForOneImplementationName",
                    {{"a", "x"}, {"b", "x"}},
                    {},
                    {{"a", 1}, {"b", 2}},
                    {},
                    {{{"x", 1}}, {{"x", 2}}},
                    {{}}},
        ExecuteCase{"TwoImplementationNamesForOneBroadcastName",
                    {},
                    {{"r", "out"}, {"s", "out"}},
                    {},
                    {{"r", 1}, {"s", 2}},
                    {{}},
                    {{{"out", 1}}, {{"out", 2}}}},
        ExecuteCase{"SameNameInAndOut",
                    {{"v", "x"}},
                    {{"x", "v"}},
                    {{"v", 1}},
                    {{"x", 2}},
                    {{{"x", 1}}},
                    {{{"v", 2}}}}),
    [](const auto& info) { return std::string(info.param.name); });

// An object passes through a node as the same object, and the node's own
// maps give back every count they took.
TEST(NodeTest, ObjectsPassThroughAndCountsBalance) {
  testing::FakeObject object;
  Node node(0, NodeFunction([](const Context& inputs, const Context&) { return inputs; }),
            std::nullopt, names({{"in", "x"}}), names({{"x", "out"}}));
  {
    Context context;
    context.insert_or_assign("in", object.handle());
    {
      const Context output = node.execute(context);
      EXPECT_EQ(std::get<PyObjectHandle>(output.at("out")).get(), &object);
      EXPECT_EQ(object.count, 2);
    }
    EXPECT_EQ(object.count, 1);
  }
  EXPECT_EQ(object.count, 0);
  EXPECT_FALSE(object.over_released);
}

TEST(NodeTest, NoopReturnsNothing) {
  Node node(0, NodeFunction::noop(), "label", names({{"a", "a"}}), names({{"a", "a"}}));
  EXPECT_TRUE(node.execute(Context{{"a", GraphData(Int{1})}}).empty());
}

}  // namespace
}  // namespace corvane::node
