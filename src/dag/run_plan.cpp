#include "dag/run_plan.hpp"

#include <string_view>
#include <unordered_set>
#include <utility>

#include "dag/dependency_graph.hpp"

namespace corvane::dag {

namespace {

using Names = std::unordered_set<std::string_view>;

bool writes_any(const Node& node, const Names& wanted) {
  for (const auto& [implementation, broadcast] : node.outputs)
    if (wanted.contains(broadcast)) return true;
  return false;
}

// Decides the nodes of one group, all of which see the same names: a node
// is needed when it writes a wanted name. The reads of the needed ones are
// wanted by the groups before only, so they are added after the group.
void mark_group(const std::vector<Node>& nodes, std::span<const Position> group, Names& wanted,
                bool* runs) {
  for (Position position : group) runs[position] = writes_any(nodes[position], wanted);
  for (Position position : group) {
    if (!runs[position]) continue;
    for (const auto& [broadcast, implementation] : nodes[position].inputs) wanted.insert(broadcast);
  }
}

// Decides every node for a run in which a node sees only its ancestors: a
// node is needed when it writes a target or a name that a needed descendant
// reads. Goes backwards through the execution order, carrying per node the
// names wanted of it by the nodes after it; along a chain that set moves on
// instead of being copied, and a node's set goes once its last dependency
// has taken it.
void mark_by_ancestry(const Dag& dag, const Names& targets, bool* runs) {
  const std::vector<Node>& nodes = dag.nodes();
  const std::shared_ptr<const DependencyGraph> held = dag.dependency_graph();
  const DependencyGraph& graph = *held;
  std::vector<Names> wanted(graph.size());
  std::vector<std::size_t> unread(graph.size());
  for (std::size_t rank = 0; rank < graph.size(); ++rank)
    unread[rank] = graph.dependencies(rank).size();

  for (std::size_t rank = graph.size(); rank-- > 0;) {
    const auto dependents = graph.dependents(rank);
    Names& mine = wanted[rank];
    const bool chain = dependents.size() == 1 && unread[dependents.front()] == 1;
    if (chain)
      mine = std::move(wanted[dependents.front()]);
    else
      mine = targets;
    for (std::size_t dependent : dependents) {
      const Position position = graph.position(dependent);
      if (!chain) mine.insert(wanted[dependent].begin(), wanted[dependent].end());
      if (runs[position])
        for (const auto& [broadcast, implementation] : nodes[position].inputs)
          mine.insert(broadcast);
      if (--unread[dependent] == 0) wanted[dependent] = Names();
    }
    runs[graph.position(rank)] = writes_any(nodes[graph.position(rank)], mine);
  }
}

}  // namespace

RunPlan::RunPlan(const Dag& dag, Schedule schedule, std::vector<std::string> targets)
    : targets_(std::move(targets)),
      node_count_(dag.nodes().size()),
      runs_(std::make_unique<bool[]>(node_count_)) {
  const std::vector<Node>& nodes = dag.nodes();
  Names wanted(targets_.begin(), targets_.end());
  // Backwards through the run: every reader comes before its writers.
  if (schedule == Schedule::dataflow) {
    mark_by_ancestry(dag, wanted, runs_.get());
  } else if (schedule == Schedule::levels) {
    for (std::size_t level = dag.level_count(); level-- > 0;)
      mark_group(nodes, dag.level_positions(level), wanted, runs_.get());
  } else {
    const std::span<const Position> order = dag.order_positions();
    for (std::size_t index = order.size(); index-- > 0;)
      mark_group(nodes, order.subspan(index, 1), wanted, runs_.get());
  }

  for (Position position : dag.order_positions())
    if (runs_[position]) order_.push_back(position);
  level_starts_.push_back(0);
  for (std::size_t level = 0; level < dag.level_count(); ++level) {
    for (Position position : dag.level_positions(level))
      if (runs_[position]) levels_.push_back(position);
    if (levels_.size() != level_starts_.back()) level_starts_.push_back(levels_.size());
  }
}

std::optional<std::string> unknown_target(const Dag& dag, std::span<const std::string> input_names,
                                          std::span<const std::string> targets) {
  Names known(input_names.begin(), input_names.end());
  for (const Node& node : dag.nodes())
    for (const auto& [implementation, broadcast] : node.outputs) known.insert(broadcast);
  for (const std::string& target : targets)
    if (!known.contains(target)) return target;
  return std::nullopt;
}

}  // namespace corvane::dag
