#include "dag/dag.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "node_factory.hpp"

namespace corvane::dag {
namespace {

using testing::make_nodes;
using testing::NodeFields;
using Levels = std::vector<std::vector<NodeId>>;

// Checks a built `Dag` against an independent reading of its nodes: which
// nodes can run, on what level, and the exact first-in-first-out order that
// follows from the order chosen for level 0.
void check_invariants(const Dag& dag) {
  const auto& nodes = dag.nodes();
  std::map<NodeId, const Node*> by_id;
  for (const Node& n : nodes) by_id.emplace(n.id, &n);

  // A node can run once every dependency names a node that can run; nodes on
  // cycles or behind missing ids never qualify. Levels come along.
  std::map<NodeId, std::size_t> level_of;
  for (bool changed = true; changed;) {
    changed = false;
    for (const auto& [id, n] : by_id) {
      if (level_of.count(id)) continue;
      std::size_t level = 0;
      bool ready = true;
      for (NodeId d : n->dependencies) {
        auto found = level_of.find(d);
        if (found == level_of.end()) {
          ready = false;
          break;
        }
        level = std::max(level, found->second + 1);
      }
      if (ready) {
        level_of[id] = level;
        changed = true;
      }
    }
  }

  const auto& order = dag.execution_order();
  std::vector<NodeId> sorted_order(order.begin(), order.end());
  std::sort(sorted_order.begin(), sorted_order.end());
  std::vector<NodeId> runnable;
  for (const auto& [id, level] : level_of) runnable.push_back(id);
  ASSERT_EQ(sorted_order, runnable) << "runnable set, each id once";

  std::vector<NodeId> concatenated;
  const std::vector<std::vector<NodeId>> levels = dag.levels();
  ASSERT_EQ(levels.size(), dag.level_count());
  for (std::size_t k = 0; k < levels.size(); ++k) {
    EXPECT_FALSE(levels[k].empty()) << "level " << k;
    for (NodeId id : levels[k]) {
      EXPECT_EQ(level_of[id], k) << "node " << id;
      concatenated.push_back(id);
    }
  }
  ASSERT_EQ(concatenated, order);

  // Replaying the queue from level 0 must give the order exactly: dependents
  // are released in node-list order, a dependency listed twice counts twice.
  std::set<NodeId> roots;
  for (const Node& n : nodes)
    if (n.dependencies.empty()) roots.insert(n.id);
  const std::vector<NodeId> level0 = dag.levels().empty() ? std::vector<NodeId>{} : dag.levels()[0];
  ASSERT_EQ(std::set<NodeId>(level0.begin(), level0.end()), roots);
  std::map<NodeId, std::size_t> remaining;
  std::map<NodeId, std::vector<NodeId>> dependents;
  for (const Node& n : nodes) {
    remaining[n.id] += n.dependencies.size();
    for (NodeId d : n.dependencies) dependents[d].push_back(n.id);
  }
  std::deque<NodeId> queue(level0.begin(), level0.end());
  std::vector<NodeId> replayed;
  while (!queue.empty()) {
    const NodeId n = queue.front();
    queue.pop_front();
    replayed.push_back(n);
    for (NodeId m : dependents[n])
      if (--remaining[m] == 0) queue.push_back(m);
  }
  EXPECT_EQ(replayed, order);
}

struct ConstructionCase {
  const char* name;
  std::vector<NodeFields> nodes;
  std::vector<Levels> allowed;  // more than one where level 0's order is free
  friend void PrintTo(const ConstructionCase& c, std::ostream* out) { *out << c.name; }
};

class ConstructionTest : public ::testing::TestWithParam<ConstructionCase> {};

TEST_P(ConstructionTest, OrdersAndLevels) {
  const ConstructionCase& c = GetParam();
  const Dag dag(make_nodes(c.nodes));
  ASSERT_EQ(dag.nodes().size(), c.nodes.size());
  for (std::size_t i = 0; i < c.nodes.size(); ++i) EXPECT_EQ(dag.nodes()[i].id, c.nodes[i].id);
  EXPECT_NE(std::find(c.allowed.begin(), c.allowed.end(), dag.levels()), c.allowed.end())
      << ::testing::PrintToString(dag.levels());
  check_invariants(dag);
}

// Ids are deliberately unlike list positions.
constexpr NodeId a = 10, b = 20, c = 30, d = 40, e = 50, s = 60, x = 70, y = 80, missing = 999;

INSTANTIATE_TEST_SUITE_P(
    Cases, ConstructionTest,
    ::testing::Values(
        ConstructionCase{"Empty", {}, {{}}}, ConstructionCase{"Single", {{a}}, {{{a}}}},
        ConstructionCase{"ChainInOrder", {{a}, {b, {a}}, {c, {b}}}, {{{a}, {b}, {c}}}},
        ConstructionCase{"ChainReversed", {{c, {b}}, {b, {a}}, {a}}, {{{a}, {b}, {c}}}},
        ConstructionCase{"ChainShuffled", {{b, {a}}, {a}, {c, {b}}}, {{{a}, {b}, {c}}}},
        ConstructionCase{"Diamond", {{a}, {b, {a}}, {c, {a}}, {d, {b, c}}}, {{{a}, {b, c}, {d}}}},
        ConstructionCase{"DiamondListOrderDecides",
                         {{d, {b, c}}, {c, {a}}, {a}, {b, {a}}},
                         {{{a}, {c, b}, {d}}}},
        ConstructionCase{"LongestPathDecides", {{a}, {c, {a, b}}, {b, {a}}}, {{{a}, {b}, {c}}}},
        ConstructionCase{"DuplicateDependency", {{a}, {b, {a, a}}, {c, {b}}}, {{{a}, {b}, {c}}}},
        ConstructionCase{"SelfLoopDropped", {{a}, {s, {s}}, {c, {s}}, {b, {a}}}, {{{a}, {b}}}},
        ConstructionCase{
            "TwoCycleDropped", {{a}, {x, {y}}, {y, {x}}, {c, {a, x}}, {b, {a}}}, {{{a}, {b}}}},
        ConstructionCase{"DanglingDropped",
                         {{a}, {d, {missing}}, {e, {d}}, {b, {a}}, {c, {b}}},
                         {{{a}, {b}, {c}}}},
        ConstructionCase{"EverythingBrokenAtOnce",
                         {{s, {s}}, {x, {y}}, {y, {x}}, {d, {missing}}, {e, {s, x, d}}},
                         {{}}},
        ConstructionCase{
            "SeveralRoots", {{a}, {b}, {c, {b}}, {d, {a}}}, {{{a, b}, {d, c}}, {{b, a}, {c, d}}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Random graphs of every shape, dense and sparse ids, with duplicate
// dependencies, self-loops, cycles and dangling ids sprinkled in.
std::vector<Node> random_graph(std::mt19937_64& random) {
  const std::size_t count = std::uniform_int_distribution<std::size_t>(0, 60)(random);
  std::vector<NodeId> ids(count);
  const bool sparse = random() % 2 == 0;
  for (std::size_t i = 0; i < count; ++i) ids[i] = sparse ? (random() | 1) * 2 : i;  // even
  std::shuffle(ids.begin(), ids.end(), random);  // position = intended topological place

  std::vector<NodeFields> all_fields;
  std::uniform_int_distribution<int> percent(0, 99);
  for (std::size_t i = 0; i < count; ++i) {
    NodeFields fields{ids[i]};
    const std::size_t wanted = i == 0 ? 0 : random() % 4;
    for (std::size_t k = 0; k < wanted; ++k) fields.dependencies.push_back(ids[random() % i]);
    if (i > 0 && percent(random) < 10)
      fields.dependencies.push_back(fields.dependencies.empty() ? ids[0] : fields.dependencies[0]);
    if (percent(random) < 3) fields.dependencies.push_back(ids[i]);
    if (percent(random) < 3) fields.dependencies.push_back(ids[random() % count]);  // maybe a cycle
    if (percent(random) < 3) fields.dependencies.push_back(2 * random() + 1);       // odd: no node
    all_fields.push_back(std::move(fields));
  }
  std::shuffle(all_fields.begin(), all_fields.end(), random);
  return make_nodes(std::move(all_fields));
}

TEST(ConstructionInvariantTest, HoldForRandomGraphs) {
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 random(seed);
    std::vector<Node> nodes = random_graph(random);
    std::vector<NodeId> ids;
    for (const Node& n : nodes) ids.push_back(n.id);
    const Dag dag(std::move(nodes));
    ASSERT_EQ(dag.nodes().size(), ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(dag.nodes()[i].id, ids[i]);
    check_invariants(dag);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace corvane::dag
