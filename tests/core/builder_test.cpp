#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "builder/graph.hpp"

namespace corvane::builder {
namespace {

// What the builder decides about one node; nodes are told apart by label.
struct Placed {
  std::string label;
  NodeId id;
  std::vector<NodeId> dependencies;
  std::optional<BranchId> branch_id;
  bool is_branch_entry;

  bool operator==(const Placed&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Placed& p) {
    out << p.label << " #" << p.id << " deps[";
    for (NodeId d : p.dependencies) out << ' ' << d;
    out << " ] branch " << (p.branch_id ? std::to_string(*p.branch_id) : "-")
        << (p.is_branch_entry ? " entry" : "");
    return out;
  }
};

Graph chain(std::initializer_list<const char*> labels) {
  Graph graph;
  for (const char* label : labels) graph.add(NodeFunction::noop(), label);
  return graph;
}

std::vector<Placed> placed(Graph graph) {
  const dag::Dag dag = std::move(graph).build();
  std::vector<Placed> result;
  for (const Node& n : dag.nodes())
    result.push_back({n.label.value_or("?"),
                      n.id,
                      {n.dependencies.begin(), n.dependencies.end()},
                      n.branch_id,
                      n.is_branch_entry});
  return result;
}

// s0 -> s1 -> s2, with n0 -> n1 hanging from s1 and m0 from n0; records
// the two branch ids.
Graph subgraph_with_nested_branch(std::vector<BranchId>& ids) {
  Graph inner = chain({"n0"});
  ids.push_back(inner.branch(chain({"m0"})));
  inner.add(NodeFunction::noop(), "n1");
  Graph sub = chain({"s0", "s1"});
  ids.push_back(sub.branch(std::move(inner)));
  sub.add(NodeFunction::noop(), "s2");
  return sub;
}

struct BuilderCase {
  const char* name;
  // Builds the graph, recording what each `branch` call returned.
  std::function<Graph(std::vector<BranchId>&)> make;
  std::vector<BranchId> branch_ids;
  std::vector<Placed> nodes;
  friend void PrintTo(const BuilderCase& c, std::ostream* out) { *out << c.name; }
};

class BuilderTest : public ::testing::TestWithParam<BuilderCase> {};

TEST_P(BuilderTest, PlacesNodes) {
  std::vector<BranchId> returned;
  Graph graph = GetParam().make(returned);
  EXPECT_EQ(returned, GetParam().branch_ids);
  EXPECT_EQ(placed(std::move(graph)), GetParam().nodes);
}

const std::optional<BranchId> main_graph;

INSTANTIATE_TEST_SUITE_P(Cases, BuilderTest,
                         ::testing::Values(BuilderCase{"AddsFormAChain",
                                                       [](auto&) {
                                                         return chain({"a", "b", "c"});
                                                       },
                                                       {},
                                                       {{"a", 0, {}, main_graph, false},
                                                        {"b", 1, {0}, main_graph, false},
                                                        {"c", 2, {1}, main_graph, false}}},
                                           BuilderCase{"SiblingBranchesHangFromTheLastNode",
                                                       [](auto& ids) {
                                                         Graph g = chain({"a", "b"});
                                                         ids.push_back(g.branch(chain({"x"})));
                                                         ids.push_back(g.branch(chain({"y"})));
                                                         return g;
                                                       },
                                                       {1, 2},
                                                       {{"a", 0, {}, main_graph, false},
                                                        {"b", 1, {0}, main_graph, false},
                                                        {"x", 2, {1}, 1, true},
                                                        {"y", 3, {1}, 2, true}}},
                                           BuilderCase{"TwoNodeSubgraphKeepsItsChain",
                                                       [](auto& ids) {
                                                         Graph g = chain({"a", "b"});
                                                         ids.push_back(g.branch(chain({"x", "y"})));
                                                         return g;
                                                       },
                                                       {1},
                                                       {{"a", 0, {}, main_graph, false},
                                                        {"b", 1, {0}, main_graph, false},
                                                        {"x", 2, {1}, 1, true},
                                                        {"y", 3, {2}, 1, false}}},
                                           BuilderCase{"AddAfterBranchMovesTheBranchPoint",
                                                       [](auto& ids) {
                                                         Graph g = chain({"a"});
                                                         ids.push_back(g.branch(chain({"x"})));
                                                         g.add(NodeFunction::noop(), "b");
                                                         ids.push_back(g.branch(chain({"y"})));
                                                         return g;
                                                       },
                                                       {1, 2},
                                                       {{"a", 0, {}, main_graph, false},
                                                        {"b", 1, {0}, main_graph, false},
                                                        {"x", 2, {0}, 1, true},
                                                        {"y", 3, {1}, 2, true}}},
                                           BuilderCase{"BranchOnAnEmptyBuilderStaysDetached",
                                                       [](auto& ids) {
                                                         Graph g;
                                                         ids.push_back(g.branch(chain({"x", "y"})));
                                                         g.add(NodeFunction::noop(), "a");
                                                         return g;
                                                       },
                                                       {1},
                                                       {{"a", 0, {}, main_graph, false},
                                                        {"x", 1, {}, main_graph, false},
                                                        {"y", 2, {1}, main_graph, false}}},
                                           BuilderCase{
                                               "EmptySubgraphUsesAnIdAndKeepsItsBranches",
                                               [](auto& ids) {
                                                 Graph g = chain({"a"});
                                                 Graph empty;
                                                 ids.push_back(empty.branch(chain({"z0", "z1"})));
                                                 ids.push_back(g.branch(std::move(empty)));
                                                 ids.push_back(g.branch(chain({"x"})));
                                                 return g;
                                               },
                                               {1, 1, 2},
                                               {{"a", 0, {}, main_graph, false},
                                                {"z0", 1, {}, main_graph, false},
                                                {"z1", 2, {1}, main_graph, false},
                                                {"x", 3, {0}, 2, true}}},
                                           // Nested branches hang from renumbered nodes of the
                                           // subgraph they were attached to, and keep the branch id
                                           // of that inner attach.
                                           BuilderCase{"NestedBranchesFollowRenumbering",
                                                       [](auto& ids) {
                                                         Graph sub =
                                                             subgraph_with_nested_branch(ids);
                                                         Graph g = chain({"a", "b"});
                                                         ids.push_back(g.branch(Graph()));
                                                         ids.push_back(g.branch(std::move(sub)));
                                                         return g;
                                                       },
                                                       {1, 1, 1, 2},
                                                       {{"a", 0, {}, main_graph, false},
                                                        {"b", 1, {0}, main_graph, false},
                                                        {"s0", 2, {1}, 2, true},
                                                        {"s1", 3, {2}, 2, false},
                                                        {"s2", 4, {3}, 2, false},
                                                        {"n0", 5, {3}, 1, true},
                                                        {"n1", 6, {5}, 1, false},
                                                        {"m0", 7, {5}, 1, true}}},
                                           // As above with more own nodes than attached ones, which
                                           // the builder merges the other way round.
                                           BuilderCase{
                                               "NestedBranchesBehindALongerChain",
                                               [](auto& ids) {
                                                 Graph sub = subgraph_with_nested_branch(ids);
                                                 Graph g = chain({"a", "b", "c", "d", "e", "f"});
                                                 ids.push_back(g.branch(std::move(sub)));
                                                 return g;
                                               },
                                               {1, 1, 1},
                                               {{"a", 0, {}, main_graph, false},
                                                {"b", 1, {0}, main_graph, false},
                                                {"c", 2, {1}, main_graph, false},
                                                {"d", 3, {2}, main_graph, false},
                                                {"e", 4, {3}, main_graph, false},
                                                {"f", 5, {4}, main_graph, false},
                                                {"s0", 6, {5}, 1, true},
                                                {"s1", 7, {6}, 1, false},
                                                {"s2", 8, {7}, 1, false},
                                                {"n0", 9, {7}, 1, true},
                                                {"n1", 10, {9}, 1, false},
                                                {"m0", 11, {9}, 1, true}}},
                                           // A join waits for every node nothing depends on yet:
                                           // the end of each branch (nested ones too) and the last
                                           // node unless a branch hangs from it; later nodes hang
                                           // from the join.
                                           BuilderCase{"JoinGathersEveryBranchEnd",
                                                       [](auto& ids) {
                                                         Graph sub =
                                                             subgraph_with_nested_branch(ids);
                                                         Graph g = chain({"a"});
                                                         ids.push_back(g.branch(std::move(sub)));
                                                         ids.push_back(g.branch(chain({"x"})));
                                                         g.join(NodeFunction::noop(), "j");
                                                         g.add(NodeFunction::noop(), "k");
                                                         ids.push_back(g.branch(chain({"y"})));
                                                         g.join(NodeFunction::noop(), "l");
                                                         g.join(NodeFunction::noop(), "m");
                                                         return g;
                                                       },
                                                       {1, 1, 1, 2, 3},
                                                       {{"a", 0, {}, main_graph, false},
                                                        {"j", 1, {7, 9, 10, 11}, main_graph, false},
                                                        {"k", 2, {1}, main_graph, false},
                                                        {"l", 3, {12}, main_graph, false},
                                                        {"m", 4, {3}, main_graph, false},
                                                        {"s0", 5, {0}, 1, true},
                                                        {"s1", 6, {5}, 1, false},
                                                        {"s2", 7, {6}, 1, false},
                                                        {"n0", 8, {6}, 1, true},
                                                        {"n1", 9, {8}, 1, false},
                                                        {"m0", 10, {8}, 1, true},
                                                        {"x", 11, {0}, 2, true},
                                                        {"y", 12, {2}, 3, true}}},
                                           // Inside a subgraph a join waits for that subgraph's
                                           // nodes only; a join on an empty builder, or with no
                                           // branch, is an add.
                                           BuilderCase{"JoinInsideABranchStaysInside",
                                                       [](auto& ids) {
                                                         Graph sub;
                                                         sub.join(NodeFunction::noop(), "s0");
                                                         ids.push_back(sub.branch(chain({"t"})));
                                                         sub.join(NodeFunction::noop(), "s1");
                                                         sub.join(NodeFunction::noop(), "s2");
                                                         Graph g = chain({"a"});
                                                         ids.push_back(g.branch(std::move(sub)));
                                                         ids.push_back(g.branch(chain({"x"})));
                                                         return g;
                                                       },
                                                       {1, 1, 2},
                                                       {{"a", 0, {}, main_graph, false},
                                                        {"s0", 1, {0}, 1, true},
                                                        {"s1", 2, {4}, 1, false},
                                                        {"s2", 3, {2}, 1, false},
                                                        {"t", 4, {1}, 1, true},
                                                        {"x", 5, {0}, 2, true}}},
                                           BuilderCase{"JoinGathersDetachedBranches",
                                                       [](auto& ids) {
                                                         Graph g;
                                                         ids.push_back(g.branch(chain({"x", "y"})));
                                                         g.add(NodeFunction::noop(), "a");
                                                         g.join(NodeFunction::noop(), "j");
                                                         return g;
                                                       },
                                                       {1},
                                                       {{"a", 0, {}, main_graph, false},
                                                        {"j", 1, {0, 3}, main_graph, false},
                                                        {"x", 2, {}, main_graph, false},
                                                        {"y", 3, {2}, main_graph, false}}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BuilderMappingTest, LaterPairForTheSameFirstNameWins) {
  Graph graph;
  graph.add(NodeFunction::noop(), std::nullopt, {{"data", "x"}, {"other", "o"}, {"data", "y"}},
            {{"r", "one"}, {"r", "two"}});
  const dag::Dag dag = std::move(graph).build();
  const Node& node = dag.nodes().front();
  ASSERT_EQ(node.inputs.size(), 2u);
  for (const auto& [broadcast, implementation] : node.inputs)
    EXPECT_EQ(implementation, broadcast == "data" ? "y" : "o");
  ASSERT_EQ(node.outputs.size(), 1u);
  EXPECT_EQ(node.outputs.begin()->second, "two");
  EXPECT_FALSE(node.label.has_value());
}

// A random mix of adds, joins and branches, nested subgraphs and empty ones,
// with adds after branches, so that both ways the builder keeps attached nodes
// are exercised.
Graph random_graph(std::mt19937& random, int depth) {
  Graph graph;
  const int steps = std::uniform_int_distribution(0, 6)(random);
  for (int step = 0; step < steps; ++step) {
    const auto choice = random() % 6;
    if (depth < 3 && choice < 3)
      graph.branch(random_graph(random, depth + 1));
    else if (choice == 3)
      graph.join(NodeFunction::noop());
    else
      graph.add(NodeFunction::noop());
  }
  return graph;
}

// The builder orders and levels its graphs without reading the nodes; the
// general construction from the same node list must agree on everything.
TEST(BuilderOrderingTest, AgreesWithOrderingTheNodeList) {
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    const dag::Dag built = random_graph(random, 0).build();
    const dag::Dag listed(built.nodes());
    for (std::size_t position = 0; position < built.nodes().size(); ++position)
      ASSERT_EQ(built.nodes()[position].id, position) << "round " << round;
    ASSERT_EQ(built.execution_order(), listed.execution_order()) << "round " << round;
    ASSERT_EQ(built.levels(), listed.levels()) << "round " << round;
    ASSERT_EQ(built.to_mermaid(), listed.to_mermaid()) << "round " << round;
  }
}

// Each level hangs the graph so far from a new node, with a node after the
// branch, so every level keeps the one below apart: neither building, nor
// walking, nor letting go of an unbuilt graph may recurse as deep as that.
TEST(BuilderNestingTest, DeepNestingIsWalkedBuiltAndFreedWithoutRecursion) {
  constexpr std::size_t depth = 100'000;
  const auto nested = [] {
    Graph graph = chain({"leaf"});
    for (std::size_t level = 0; level < depth; ++level) {
      Graph outer = chain({"head"});
      outer.branch(std::move(graph));
      outer.add(NodeFunction::noop(), "tail");
      graph = std::move(outer);
    }
    return graph;
  };
  { nested(); }
  Graph graph = nested();
  std::size_t walked = 0;
  graph.for_each_node([&](const Node&) { return ++walked != 0; });
  EXPECT_EQ(walked, 2 * depth + 1);
  const dag::Dag dag = std::move(graph).build();
  // Listed depth first: each level's head and tail, then the level below.
  const auto& nodes = dag.nodes();
  ASSERT_EQ(nodes.size(), 2 * depth + 1);
  EXPECT_EQ(nodes[2].label, "head");
  EXPECT_EQ(nodes[2].dependencies, (node::DependencyList{0}));
  EXPECT_TRUE(nodes[2].is_branch_entry);
  EXPECT_EQ(nodes.back().label, "leaf");
  EXPECT_EQ(nodes.back().dependencies, (node::DependencyList{2 * depth - 2}));
  EXPECT_EQ(dag.level_count(), depth + 1);
}

}  // namespace
}  // namespace corvane::builder
