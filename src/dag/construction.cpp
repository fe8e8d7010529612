#include <algorithm>

#include "dag/dag.hpp"

namespace corvane::dag {

namespace {

constexpr std::size_t npos = NodeIndex::npos;

// Nodes that share an id count as one: the first node with that id stands for
// all of them, and its position in the list is the id's slot.
struct Slots {
  const std::vector<Node>& nodes;
  const NodeIndex& index;

  std::size_t of(NodeId id) const { return index.find(id); }
  bool is_slot(std::size_t position) const { return of(nodes[position].id) == position; }
};

// Per slot, the slots of the nodes that depend on it, in node-list order
// (an id listed twice appears twice), stored as one flat array.
struct Dependents {
  std::vector<std::size_t> start;  // slot -> first entry; size n + 1
  std::vector<std::size_t> entries;

  auto of(std::size_t slot) const {
    struct Range {
      const std::size_t* first;
      const std::size_t* last;
      const std::size_t* begin() const { return first; }
      const std::size_t* end() const { return last; }
    };
    return Range{entries.data() + start[slot], entries.data() + start[slot + 1]};
  }
};

// Counts each slot's unmet dependency entries (steps 1-2 of the ordering) and
// records who depends on whom. A dependency on an id that names no node is
// counted but never met.
Dependents count_dependencies(const Slots& slots, std::vector<std::size_t>& remaining) {
  const auto& nodes = slots.nodes;
  Dependents dependents;
  dependents.start.assign(nodes.size() + 1, 0);
  for (const Node& node : nodes)
    for (NodeId dependency : node.dependencies)
      if (std::size_t slot = slots.of(dependency); slot != npos) ++dependents.start[slot + 1];
  for (std::size_t slot = 0; slot < nodes.size(); ++slot)
    dependents.start[slot + 1] += dependents.start[slot];

  dependents.entries.resize(dependents.start.back());
  std::vector<std::size_t> fill(dependents.start.begin(), dependents.start.end() - 1);
  for (const Node& node : nodes) {
    const std::size_t dependent = slots.of(node.id);
    remaining[dependent] += node.dependencies.size();
    for (NodeId dependency : node.dependencies)
      if (std::size_t slot = slots.of(dependency); slot != npos)
        dependents.entries[fill[slot]++] = dependent;
  }
  return dependents;
}

// Kahn's algorithm: slots without dependencies first, in node-list order,
// then every slot in the order its last dependency was met.
std::vector<std::size_t> order_slots(const Slots& slots) {
  const std::size_t count = slots.nodes.size();
  std::vector<std::size_t> remaining(count, 0);
  const Dependents dependents = count_dependencies(slots, remaining);

  std::vector<std::size_t> order;
  order.reserve(count);
  for (std::size_t position = 0; position < count; ++position)
    if (slots.is_slot(position) && remaining[position] == 0) order.push_back(position);
  // `order` doubles as the queue: everything before `next` has been taken.
  for (std::size_t next = 0; next < order.size(); ++next)
    for (std::size_t dependent : dependents.of(order[next]))
      if (--remaining[dependent] == 0) order.push_back(dependent);
  return order;
}

// Groups ordered slots by the length of their longest dependency chain.
std::vector<std::vector<std::size_t>> level_slots(const Slots& slots,
                                                  const std::vector<std::size_t>& order) {
  std::vector<std::size_t> level_of(slots.nodes.size(), npos);
  std::vector<std::vector<std::size_t>> levels;
  for (std::size_t slot : order) {
    std::size_t level = 0;
    for (NodeId dependency : slots.nodes[slot].dependencies) {
      const std::size_t dependency_slot = slots.of(dependency);
      if (dependency_slot != npos && level_of[dependency_slot] != npos)
        level = std::max(level, level_of[dependency_slot] + 1);
    }
    level_of[slot] = level;
    if (levels.size() <= level) levels.resize(level + 1);
    levels[level].push_back(slot);
  }
  return levels;
}

}  // namespace

Dag::Dag(std::vector<Node> nodes) : nodes_(std::move(nodes)), index_(nodes_) {
  const Slots slots{nodes_, index_};
  order_positions_ = order_slots(slots);
  level_positions_ = level_slots(slots, order_positions_);

  execution_order_.reserve(order_positions_.size());
  for (std::size_t position : order_positions_) execution_order_.push_back(nodes_[position].id);
  levels_.reserve(level_positions_.size());
  for (const auto& level : level_positions_) {
    auto& ids = levels_.emplace_back();
    ids.reserve(level.size());
    for (std::size_t position : level) ids.push_back(nodes_[position].id);
  }
}

}  // namespace corvane::dag
