#include "dag/run_plan.hpp"

#include <string_view>
#include <unordered_set>

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

}  // namespace

RunPlan::RunPlan(const Dag& dag, bool parallel, std::vector<std::string> targets)
    : targets_(std::move(targets)),
      node_count_(dag.nodes().size()),
      runs_(std::make_unique<bool[]>(node_count_)) {
  const std::vector<Node>& nodes = dag.nodes();
  Names wanted(targets_.begin(), targets_.end());
  // Backwards through the run: every reader comes before its writers.
  if (parallel) {
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
