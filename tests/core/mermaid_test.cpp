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
            "LabelsWrittenSoTheyParse",
            {{3, {}, {}, {}, ""}, {4, {}, {}, {}, "say \"hi\"\n[x] --> y"}, {15}},
            {header +
             "    3[\" \"]\n    4[\"say #quot;hi#quot;\n[x] --> y\"]\n    15[\"Node 15\"]\n"}},
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
        MermaidCase{
            "QuotedLabelKeepsItsSeparator",
            {{0, {}, {}, {{"p", "f(a)"}, {"q", "b"}}}, {1, {0}, {{"f(a)", "x"}, {"b", "y"}}}},
            {header + "    0[\"Node 0\"]\n    1[\"Node 1\"]\n"
                      "    0 -->|\"f(a) \u2192 x<br/>b \u2192 y\"| 1\n",
             header + "    0[\"Node 0\"]\n    1[\"Node 1\"]\n"
                      "    0 -->|\"b \u2192 y<br/>f(a) \u2192 x\"| 1\n"}},
        MermaidCase{"EqualsEndingALabelInsideATagSpan",
                    {{0, {}, {}, {}, "<b"}, {1, {}, {}, {}, "x="}, {2, {}, {}, {}, "y>"}},
                    {header + "    0[\"<b\"]\n    1[\"x#61;\"]\n    2[\"y>\"]\n"}},
        MermaidCase{"EqualsEndingALabelOutsideTagSpans",
                    {{0, {}, {}, {}, "x="}, {1, {}, {}, {}, "<b> y="}, {2, {}, {}, {}, "<i"}},
                    {header + "    0[\"x=\"]\n    1[\"<b> y=\"]\n    2[\"<i\"]\n"}},
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

// How one node label is written between `["` and `"]`: unchanged unless
// Mermaid could not parse it as it is.
struct NodeLabelCase {
  const char* name;
  std::string label;
  std::string written;
  friend void PrintTo(const NodeLabelCase& c, std::ostream* out) { *out << c.name; }
};

class NodeLabelTest : public ::testing::TestWithParam<NodeLabelCase> {};

TEST_P(NodeLabelTest, WritesLabel) {
  const std::string text =
      Dag(testing::make_nodes({{0, {}, {}, {}, GetParam().label}})).to_mermaid();
  EXPECT_EQ(text, header + "    0[\"" + GetParam().written + "\"]\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NodeLabelTest,
    ::testing::Values(
        NodeLabelCase{"Plain", "load", "load"},
        NodeLabelCase{"Punctuation", "rows[0] (x) {y} a|b @x ~~~ #;&%<>=-.:`'\\/!?*+^$",
                      "rows[0] (x) {y} a|b @x ~~~ #;&%<>=-.:`'\\/!?*+^$"},
        NodeLabelCase{"Markup", "<b>bold</b> #35; &amp;", "<b>bold</b> #35; &amp;"},
        NodeLabelCase{"Markdown", "`**a** b`", "`**a** b`"},
        NodeLabelCase{"UnicodeAndLineFeed", "donn\u00e9es \u2192 \u4e2d\nzwei",
                      "donn\u00e9es \u2192 \u4e2d\nzwei"},
        NodeLabelCase{"Space", " ", " "}, NodeLabelCase{"Empty", "", " "},
        NodeLabelCase{"Quotes", "12\" pipe \"", "12#quot; pipe #quot;"},
        NodeLabelCase{"QuoteAlone", "\"", "#quot;"},
        NodeLabelCase{"QuoteInMarkdown", "`a\"b`", "`a#quot;b`"},
        NodeLabelCase{"BacktickAlone", "`", "#96;"}, NodeLabelCase{"TwoBackticks", "``", "#96;`"},
        NodeLabelCase{"UnclosedMarkdown", "`a", "#96;a"},
        NodeLabelCase{"TextAfterMarkdown", "`a` b", "#96;a` b"},
        NodeLabelCase{"BacktickInsideMarkdown", "`a`b`", "#96;a`b`"},
        NodeLabelCase{"PercentsInsideALine", "a %% b\n b%%", "a %% b\n b%%"},
        NodeLabelCase{"CommentLine", "a\n%% b", "a\n#37;% b"},
        NodeLabelCase{"CommentLineAfterSpaces", "a\n \u3000\n\t%%{b}", "a\n \u3000\n\t#37;%{b}"}),
    [](const auto& info) { return std::string(info.param.name); });

// How the label of an edge carrying one variable is written between the
// pipes: bare unless Mermaid could not parse it bare.
struct EdgeLabelCase {
  const char* name;
  std::string broadcast;
  std::string implementation;
  std::string written;
  friend void PrintTo(const EdgeLabelCase& c, std::ostream* out) { *out << c.name; }
};

class EdgeLabelTest : public ::testing::TestWithParam<EdgeLabelCase> {};

TEST_P(EdgeLabelTest, WritesLabel) {
  const auto& param = GetParam();
  const std::string text =
      Dag(testing::make_nodes({{0, {}, {}, {{"out", param.broadcast}}},
                               {1, {0}, {{param.broadcast, param.implementation}}}}))
          .to_mermaid();
  EXPECT_EQ(text,
            header + "    0[\"Node 0\"]\n    1[\"Node 1\"]\n    0 -->|" + param.written + "| 1\n");
}

// Mermaid breaks on bare `"()[]{}|` anywhere, `@` in the first word and
// `~~~` after leading whitespace (JavaScript's whitespace, wide spaces
// included).
INSTANTIATE_TEST_SUITE_P(
    Cases, EdgeLabelTest,
    ::testing::Values(
        EdgeLabelCase{"Plain", "data", "x", "data \u2192 x"},
        EdgeLabelCase{"Punctuation", "a-->b ==> ~~ #;&%<>", "=-.:`'\\/!?*+^$,",
                      "a-->b ==> ~~ #;&%<> \u2192 =-.:`'\\/!?*+^$,"},
        EdgeLabelCase{"AtAfterFirstWord", "a", "x@y", "a \u2192 x@y"},
        EdgeLabelCase{"AtAfterSpace", " @a", "x", " @a \u2192 x"},
        EdgeLabelCase{"AtAfterWideSpace", "a\u3000@", "x", "a\u3000@ \u2192 x"},
        EdgeLabelCase{"TildesInsideText", "a~~~b", "x", "a~~~b \u2192 x"},
        EdgeLabelCase{"MarkupAndMarkdown", "<b>a</b>", "`b` #quot;", "<b>a</b> \u2192 `b` #quot;"},
        EdgeLabelCase{"UnicodeAndLineFeed", "donn\u00e9es", "\u4e2d\nzwei",
                      "donn\u00e9es \u2192 \u4e2d\nzwei"},
        EdgeLabelCase{"CommentLineInBareLabel", "a\n%%b", "x", "a\n#37;%b \u2192 x"},
        EdgeLabelCase{"Parentheses", "mean(x)", "m", "\"mean(x) \u2192 m\""},
        EdgeLabelCase{"SquareBrackets", "rows[0]", "r", "\"rows[0] \u2192 r\""},
        EdgeLabelCase{"Braces", "cfg{env}", "c", "\"cfg{env} \u2192 c\""},
        EdgeLabelCase{"Pipe", "a|b", "c", "\"a|b \u2192 c\""},
        EdgeLabelCase{"Quote", "say \"hi\"", "s", "\"say #quot;hi#quot; \u2192 s\""},
        EdgeLabelCase{"AtInFirstWord", "a@b", "x", "\"a@b \u2192 x\""},
        EdgeLabelCase{"AtFirst", "@", "x", "\"@ \u2192 x\""},
        EdgeLabelCase{"AtAfterUnicode", "\u00e9@", "x", "\"\u00e9@ \u2192 x\""},
        EdgeLabelCase{"TildesFirst", "~~~", "x", "\"~~~ \u2192 x\""},
        EdgeLabelCase{"TildesAfterSpace", " ~~~~", "x", "\" ~~~~ \u2192 x\""},
        EdgeLabelCase{"TildesAfterWideSpace", "\u3000\u00a0~~~", "x",
                      "\"\u3000\u00a0~~~ \u2192 x\""},
        EdgeLabelCase{"BacktickFirstWhenQuoted", "`f(x)", "y", "\"#96;f(x) \u2192 y\""},
        EdgeLabelCase{"MarkdownWhenQuoted", "`f(x)", "y`", "\"`f(x) \u2192 y`\""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvane::dag
