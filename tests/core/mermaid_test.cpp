#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dag/dag.hpp"
#include "node_factory.hpp"

namespace corvane::dag {
namespace {

using testing::NodeFields;

struct MermaidCase {
  const char* name;
  std::vector<NodeFields> nodes;
  std::vector<std::string> allowed;  // more than one where label items may swap
  friend void PrintTo(const MermaidCase& c, std::ostream* out) { *out << c.name; }
};

class MermaidTest : public ::testing::TestWithParam<MermaidCase> {};

TEST_P(MermaidTest, RendersExactText) {
  const std::string text = Dag(testing::make_nodes(GetParam().nodes)).to_mermaid();
  const auto& allowed = GetParam().allowed;
  EXPECT_NE(std::find(allowed.begin(), allowed.end(), text), allowed.end()) << text;
}

const std::string header = "graph TD\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, MermaidTest,
    ::testing::Values(
        MermaidCase{"Example",
                    {{0, {}, {}, {{"out", "data"}}, "load"},
                     {1, {0}, {{"data", "x"}}},
                     {2, {0}, {}, {}, "alt", 1, true}},
                    {"graph TD\n    0[\"load\"]\n    1[\"Node 1\"]\n    2[\"alt\"]\n"
                     "    0 -->|data \u2192 x| 1\n    0 --> 2\n    style 2 fill:#e1f5ff\n"}},
        MermaidCase{"Empty", {}, {header}},
        MermaidCase{
            "LabelsVerbatim",
            {{3, {}, {}, {}, ""}, {4, {}, {}, {}, "say \"hi\"\n[x] --> y"}, {15}},
            {header + "    3[\"\"]\n    4[\"say \"hi\"\n[x] --> y\"]\n    15[\"Node 15\"]\n"}},
        MermaidCase{"DuplicateDependencyDrawnOnce",
                    {{0}, {1, {0, 0}}},
                    {header + "    0[\"Node 0\"]\n    1[\"Node 1\"]\n    0 --> 1\n"}},
        MermaidCase{"RepeatedDependencyAmongManyDrawnOnce",
                    {{0}, {1, {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 0}}},
                    {header + "    0[\"Node 0\"]\n    1[\"Node 1\"]\n    0 --> 1\n" +
                     [] {
                       std::string edges;
                       for (int id = 2; id <= 17; ++id)
                         edges += "    " + std::to_string(id) + " --> 1\n";
                       return edges;
                     }()}},
        MermaidCase{"SharedIdDrawsEachEdgeOnce",
                    {{0}, {1, {0}}, {1, {0}}},
                    {header + "    0[\"Node 0\"]\n    1[\"Node 1\"]\n    1[\"Node 1\"]\n"
                              "    0 --> 1\n"}},
        MermaidCase{"DanglingDependencyIsAPlainEdge",
                    {{1, {42}, {{"a", "x"}}}},
                    {header + "    1[\"Node 1\"]\n    42 --> 1\n"}},
        MermaidCase{"CycleStillDrawn",
                    {{0, {1}}, {1, {0}}, {2, {2}}},
                    {header + "    0[\"Node 0\"]\n    1[\"Node 1\"]\n    2[\"Node 2\"]\n"
                              "    1 --> 0\n    0 --> 1\n    2 --> 2\n"}},
        MermaidCase{
            "TwoItemsJoined",
            {{0, {}, {}, {{"p", "a"}, {"q", "b"}}}, {1, {0}, {{"a", "x"}, {"b", "y"}}}},
            {header +
                 "    0[\"Node 0\"]\n    1[\"Node 1\"]\n    0 -->|a \u2192 x<br/>b \u2192 y| 1\n",
             header +
                 "    0[\"Node 0\"]\n    1[\"Node 1\"]\n    0 -->|b \u2192 y<br/>a \u2192 x| 1\n"}},
        MermaidCase{"InputMatchingTwoOutputsGivesOneItem",
                    {{0, {}, {}, {{"p", "a"}, {"q", "a"}}}, {1, {0}, {{"a", "x"}}}},
                    {header + "    0[\"Node 0\"]\n    1[\"Node 1\"]\n    0 -->|a \u2192 x| 1\n"}},
        MermaidCase{"SharedNamesOtherThanInputsGiveAPlainEdge",
                    {{0, {}, {{"a", "i"}}, {{"p", "a"}}}, {1, {0}, {{"b", "x"}}, {{"r", "a"}}}},
                    {header + "    0[\"Node 0\"]\n    1[\"Node 1\"]\n    0 --> 1\n"}},
        MermaidCase{
            "EachEdgeCarriesItsOwnDependencysOutputs",
            {{0, {}, {}, {{"p", "a"}}},
             {1, {}, {}, {{"q", "b"}}},
             {2, {0, 1}, {{"a", "x"}, {"b", "y"}}, {}, {}, 1, true},
             {3, {}, {}, {}, {}, 1, true}},
            {header + "    0[\"Node 0\"]\n    1[\"Node 1\"]\n    2[\"Node 2\"]\n    3[\"Node 3\"]\n"
                      "    0 -->|a \u2192 x| 2\n    1 -->|b \u2192 y| 2\n"
                      "    style 2 fill:#e1f5ff\n    style 3 fill:#e1f5ff\n"}},
        MermaidCase{
            "FirstNodeWithAnIdSuppliesTheOutputs",
            {{5, {}, {}, {{"p", "a"}}}, {5, {}, {}, {{"q", "b"}}}, {6, {5}, {{"b", "x"}}}},
            {header + "    5[\"Node 5\"]\n    5[\"Node 5\"]\n    6[\"Node 6\"]\n    5 --> 6\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvane::dag
