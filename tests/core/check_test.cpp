#include "dag/check.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "node_factory.hpp"

namespace corvane::dag {
namespace {

using testing::make_nodes;
using testing::NodeFields;
using Names = std::vector<std::string>;
using Described = std::vector<std::string>;

constexpr Visibility all_visibilities[] = {Visibility::earlier_in_order, Visibility::earlier_levels,
                                           Visibility::ancestors};

// A node reading and writing names under the same name on both sides.
NodeFields node(NodeId id, std::vector<NodeId> dependencies, Names reads, Names writes = {}) {
  NodeFields fields{id, std::move(dependencies)};
  for (const std::string& name : reads) fields.inputs.emplace_back(name, name);
  for (const std::string& name : writes) fields.outputs.emplace_back(name, name);
  return fields;
}

std::string describe(const Dag& dag, const GraphProblem& problem) {
  const auto id = [&](Position position) { return std::to_string(dag.nodes()[position].id); };
  if (problem.kind == GraphProblem::Kind::missing_input)
    return "missing " + problem.name + " at " + id(problem.node);
  std::string text = "race " + problem.name + " at " + id(problem.node) + " on level " +
                     std::to_string(problem.level) + " by";
  for (Position writer : problem.writers) text += " " + id(writer);
  return text;
}

std::vector<bool> running(const std::vector<Node>& nodes, const std::vector<NodeId>& ids) {
  std::vector<bool> runs;
  if (ids.empty()) return runs;
  for (const Node& n : nodes) runs.push_back(std::ranges::find(ids, n.id) != ids.end());
  return runs;
}

Described check(const Dag& dag, const Names& inputs, Visibility visibility,
                const std::vector<bool>& runs) {
  const auto flags = std::make_unique<bool[]>(runs.size());  // a vector<bool> has no span
  std::ranges::copy(runs, flags.get());
  Described described;
  for (const GraphProblem& problem :
       check_graph(dag, inputs, visibility, {flags.get(), runs.size()}))
    described.push_back(describe(dag, problem));
  return described;
}

// A join reading more names from its second branch than one batch of the
// ancestry pass holds: n7 and n107 are written nowhere, n57 only by a root
// outside its ancestry.
std::vector<NodeFields> join_reading_many_names() {
  Names written, read;
  for (int i = 0; i < 150; ++i) {
    read.push_back("n" + std::to_string(i));
    if (i % 50 != 7) written.push_back(read.back());
  }
  return {node(0, {}, {}), node(1, {0}, {}), node(2, {0}, {}, written), node(3, {}, {}, {"n57"}),
          node(4, {1, 2}, read)};
}

struct CheckCase {
  const char* name;
  std::vector<NodeFields> nodes;
  Names inputs = {};
  std::vector<NodeId> runs = {};  // the ids that run; empty for all
  Described in_order = {}, levels = {}, ancestors = {};
  friend void PrintTo(const CheckCase& c, std::ostream* out) { *out << c.name; }
};

class CheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckTest, FindsTheProblemsOfEachVisibility) {
  const CheckCase& c = GetParam();
  const Dag dag(make_nodes(c.nodes));
  const std::vector<bool> runs = running(dag.nodes(), c.runs);
  EXPECT_EQ(check(dag, c.inputs, Visibility::earlier_in_order, runs), c.in_order);
  EXPECT_EQ(check(dag, c.inputs, Visibility::earlier_levels, runs), c.levels);
  EXPECT_EQ(check(dag, c.inputs, Visibility::ancestors, runs), c.ancestors);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckTest,
    ::testing::Values(
        CheckCase{"Empty", {}, {"a"}, {}, {}, {}, {}},
        CheckCase{"ChainReadsWhatEarlierNodesWrite",
                  {node(0, {}, {}, {"a"}), node(1, {0}, {"a"}, {"b"}), node(2, {1}, {"a", "b"})}},
        CheckCase{"ReadsNobodyWritesInMappingOrder",
                  {node(0, {}, {}, {"a"}), node(1, {0}, {"c", "a", "b"})},
                  {},
                  {},
                  {"missing c at 1", "missing b at 1"},
                  {"missing c at 1", "missing b at 1"},
                  {"missing c at 1", "missing b at 1"}},
        CheckCase{"InputsGiven",
                  {node(0, {}, {}, {"a"}), node(1, {0}, {"c", "a", "b"})},
                  {"b", "c", "unread"}},
        CheckCase{"ReadBeforeTheWrite",
                  {node(0, {}, {"a"}), node(1, {0}, {}, {"a"})},
                  {},
                  {},
                  {"missing a at 0"},
                  {"missing a at 0"},
                  {"missing a at 0"}},
        CheckCase{"SiblingOnTheSameLevel",
                  {node(0, {}, {}, {"a"}), node(1, {0}, {}, {"b"}), node(2, {0}, {"a", "b"})},
                  {},
                  {},
                  {},
                  {"missing b at 2"},
                  {"missing b at 2"}},
        CheckCase{"SiblingOnAnEarlierLevel",
                  {node(0, {}, {}), node(1, {0}, {}, {"b"}), node(2, {0}, {}), node(3, {2}, {"b"})},
                  {},
                  {},
                  {},
                  {},
                  {"missing b at 3"}},
        CheckCase{"JoinSeesEveryBranch",
                  {node(0, {}, {}, {"a"}), node(1, {0}, {}, {"b"}), node(2, {0}, {}, {"c"}),
                   node(3, {2}, {}, {"d"}), node(4, {1, 3}, {"a", "b", "c", "d"}),
                   node(5, {4}, {"b", "d"})}},
        CheckCase{"JoinDoesNotSeeAnUnrelatedRoot",
                  {node(0, {}, {}, {"a"}), node(1, {}, {}, {"e"}), node(2, {0}, {}, {"b"}),
                   node(3, {2, 0}, {"b", "e", "a"}), node(4, {3}, {"e"})},
                  {},
                  {},
                  {},
                  {},
                  {"missing e at 3", "missing e at 4"}},
        CheckCase{"RacesInOneLevel",
                  {node(0, {}, {}), node(1, {0}, {}, {"x", "y"}), node(2, {0}, {}, {"x"}),
                   node(3, {0}, {}, {"x", "y"}), node(4, {1}, {}, {"x"})},
                  {},
                  {},
                  {},
                  {"race x at 1 on level 1 by 1 2 3", "race y at 1 on level 1 by 1 3"},
                  {}},
        CheckCase{"ANodeWritingANameTwiceCountsOnce",
                  {NodeFields{0, {}, {}, {{"p", "x"}, {"q", "x"}}}, node(1, {}, {}, {"x"}),
                   NodeFields{2, {0}, {}, {{"p", "y"}, {"q", "y"}}}, node(3, {0}, {}, {"z"})},
                  {},
                  {},
                  {},
                  {"race x at 0 on level 0 by 0 1"},
                  {}},
        CheckCase{
            "RaceNamesItsFirstWriterInNodeListOrder",
            // Order: 2, 3, then 1 before 0, as 2 comes first in the list.
            {node(0, {3}, {}, {"x"}), node(1, {2}, {"m"}, {"x"}), node(2, {}, {}), node(3, {}, {})},
            {},
            {},
            {"missing m at 1"},
            {"missing m at 1", "race x at 0 on level 1 by 0 1"},
            {"missing m at 1"}},
        CheckCase{"RacesOnEachLevel",
                  {node(0, {}, {}), node(1, {0}, {}, {"x"}), node(2, {0}, {}, {"x"}),
                   node(3, {1}, {}, {"x"}), node(4, {2}, {}, {"x"})},
                  {},
                  {},
                  {},
                  {"race x at 1 on level 1 by 1 2", "race x at 3 on level 2 by 3 4"},
                  {}},
        CheckCase{"CyclesIgnored",
                  {node(0, {}, {}, {"a"}), node(1, {2}, {"z"}, {"a"}), node(2, {1}, {"z"}, {"a"}),
                   node(3, {0}, {"a"})}},
        CheckCase{"NodesThatDoNotRunNeitherReadNorWrite",
                  {node(0, {}, {}, {"a"}), node(1, {0}, {}, {"b"}), node(2, {0}, {}, {"b"}),
                   node(3, {0}, {"z"}), node(4, {1}, {"b"})},
                  {},
                  {0, 1, 4}},
        CheckCase{"AReaderWhoseWriterDoesNotRun",
                  {node(0, {}, {}, {"a"}), node(1, {0}, {}, {"b"}), node(2, {0}, {}, {"b"}),
                   node(4, {1}, {"b"})},
                  {},
                  {0, 2, 4},
                  {},
                  {},
                  {"missing b at 4"}},
        CheckCase{"JoinReadingManyNamesFromItsSecondBranch",
                  join_reading_many_names(),
                  {},
                  {},
                  {"missing n7 at 4", "missing n107 at 4"},
                  {"missing n7 at 4", "missing n107 at 4"},
                  {"missing n7 at 4", "missing n57 at 4", "missing n107 at 4"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CheckTest, OptionalInputsAreNeverMissing) {
  std::vector<Node> nodes = make_nodes({{0, {}, {{"a", "first"}, {"b", "second"}}}});
  nodes[0].optional_inputs = {"first", "unused"};
  const Dag dag(std::move(nodes));
  for (Visibility visibility : all_visibilities)
    EXPECT_EQ(check(dag, {}, visibility, {}), Described{"missing b at 0"});
}

// An independent reading of the rules: names seen per node as sets, levels
// and ancestors from the public lists of ids.
Described reference(const Dag& dag, const Names& inputs, Visibility visibility,
                    const std::vector<bool>& runs) {
  const auto& nodes = dag.nodes();
  std::map<NodeId, std::size_t> position_of;
  for (std::size_t p = nodes.size(); p-- > 0;) position_of[nodes[p].id] = p;
  const auto runs_at = [&](std::size_t p) { return runs.empty() || runs[p]; };
  std::vector<std::set<std::string>> writes(nodes.size());
  for (std::size_t p = 0; p < nodes.size(); ++p)
    if (runs_at(p))
      for (const auto& [implementation, broadcast] : nodes[p].outputs) writes[p].insert(broadcast);
  const auto order = dag.execution_order();

  std::map<std::size_t, std::set<std::string>> visible;  // by position
  std::map<std::size_t, std::size_t> level_of;
  const auto levels = dag.levels();
  for (std::size_t level = 0; level < levels.size(); ++level)
    for (NodeId id : levels[level]) level_of[position_of[id]] = level;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::size_t p = position_of[order[i]];
    std::set<std::string>& seen = visible[p];
    seen.insert(inputs.begin(), inputs.end());
    for (std::size_t j = 0; j < i; ++j) {
      const std::size_t q = position_of[order[j]];
      if (visibility == Visibility::earlier_in_order ||
          (visibility == Visibility::earlier_levels && level_of[q] < level_of[p]))
        seen.insert(writes[q].begin(), writes[q].end());
    }
    if (visibility == Visibility::ancestors) {
      for (NodeId dependency : nodes[p].dependencies) {
        const std::size_t q = position_of[dependency];
        seen.insert(visible[q].begin(), visible[q].end());
        seen.insert(writes[q].begin(), writes[q].end());
      }
    }
  }

  Described described;
  for (NodeId id : order) {
    const std::size_t p = position_of[id];
    if (!runs_at(p)) continue;
    for (const auto& [broadcast, implementation] : nodes[p].inputs)
      if (!visible[p].count(broadcast) &&
          std::ranges::find(nodes[p].optional_inputs, implementation) ==
              nodes[p].optional_inputs.end())
        described.push_back("missing " + broadcast + " at " + std::to_string(id));
    if (visibility != Visibility::earlier_levels) continue;
    for (const auto& [implementation, broadcast] : nodes[p].outputs) {
      std::set<std::size_t> writers;
      for (NodeId other : levels[level_of[p]])
        if (writes[position_of[other]].count(broadcast)) writers.insert(position_of[other]);
      if (writers.size() < 2 || *writers.begin() != p) continue;
      const std::string text = "race " + broadcast + " at " + std::to_string(id) + " on level " +
                               std::to_string(level_of[p]) + " by";
      std::string line = text;
      for (std::size_t writer : writers) line += " " + std::to_string(nodes[writer].id);
      if (std::ranges::find(described, line) == described.end()) described.push_back(line);
    }
  }
  return described;
}

// Random graphs with joins, unrelated roots, overwrites, optional inputs,
// nodes that do not run and cycles, over few names (many races) or many
// (more than one batch of the ancestry pass).
TEST(CheckTest, AgreesWithAReferenceOnRandomGraphs) {
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 random(seed);
    const std::size_t count = random() % 40;
    const std::size_t name_count = seed % 3 == 0 ? 200 : 6;
    const auto some_names = [&](std::size_t most) {
      Names names;
      for (std::size_t k = random() % (most + 1); k > 0; --k)
        names.push_back("v" + std::to_string(random() % name_count));
      std::ranges::sort(names);
      names.erase(std::unique(names.begin(), names.end()), names.end());
      std::shuffle(names.begin(), names.end(), random);
      return names;
    };
    std::vector<NodeFields> all_fields;
    for (NodeId id = 0; id < count; ++id) {
      std::vector<NodeId> dependencies;
      for (std::size_t k = id == 0 || random() % 5 == 0 ? 0 : 1 + random() % 3; k > 0; --k)
        dependencies.push_back(random() % id);
      if (random() % 20 == 0) dependencies.push_back(id + random() % 3);  // maybe a cycle
      all_fields.push_back(node(id, dependencies, some_names(name_count == 6 ? 3 : 90),
                                some_names(name_count == 6 ? 2 : 60)));
    }
    std::shuffle(all_fields.begin(), all_fields.end(), random);
    std::vector<Node> nodes = make_nodes(std::move(all_fields));
    for (Node& n : nodes)
      if (!n.inputs.empty() && random() % 4 == 0) n.optional_inputs = {n.inputs.begin()->second};
    std::vector<bool> runs;
    if (random() % 2 == 0)
      for (std::size_t p = 0; p < nodes.size(); ++p) runs.push_back(random() % 4 != 0);
    const Names inputs = some_names(2);
    const Dag dag(std::move(nodes));
    for (Visibility visibility : all_visibilities)
      ASSERT_EQ(check(dag, inputs, visibility, runs), reference(dag, inputs, visibility, runs))
          << "visibility " << static_cast<int>(visibility);
  }
}

}  // namespace
}  // namespace corvane::dag
