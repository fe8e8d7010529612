#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>

#include "dag/dag.hpp"

namespace corvane::dag {

namespace {

constexpr std::size_t npos = NodeIndex::npos;

// What ordering needs of the nodes, read in one pass so that the node list,
// whose entries are large, is walked once instead of once per step: each
// position's id and, as one flat array, the slots its dependencies name (npos
// for an id that names no node). Nodes that share an id count as one: the
// first node with that id stands for all of them, and its position in the
// list is the id's slot.
struct Slots {
  std::vector<NodeId> ids;
  std::vector<std::size_t> dependency_start;  // position -> first entry; size n + 1
  std::vector<std::size_t> dependency_slots;

  // Copies the ids and the dependency ids; `resolve` then turns the latter
  // into slots, once an index of the ids exists.
  explicit Slots(const std::vector<Node>& nodes) {
    ids.reserve(nodes.size());
    dependency_start.reserve(nodes.size() + 1);
    dependency_start.push_back(0);
    for (std::size_t position = 0; position < nodes.size(); ++position) {
      // Nodes are large and each is read once here, so a long list misses
      // the cache on nearly every node; asking for one a few nodes ahead
      // overlaps those misses.
      if (position + 16 < nodes.size()) __builtin_prefetch(&nodes[position + 16]);
      const Node& node = nodes[position];
      ids.push_back(node.id);
      dependency_slots.insert(dependency_slots.end(), node.dependencies.begin(),
                              node.dependencies.end());
      dependency_start.push_back(dependency_slots.size());
    }
  }

  void resolve(const NodeIndex& index) {
    for (std::size_t& dependency : dependency_slots) dependency = index.find(dependency);
  }

  std::size_t size() const { return ids.size(); }
  std::size_t dependency_count(std::size_t position) const {
    return dependency_start[position + 1] - dependency_start[position];
  }
  std::span<const std::size_t> dependencies_of(std::size_t position) const {
    return {dependency_slots.data() + dependency_start[position], dependency_count(position)};
  }
};

// Per slot, the slots of the nodes that depend on it, in node-list order
// (an id listed twice appears twice), stored as one flat array.
struct Dependents {
  std::vector<std::size_t> start;  // slot -> first entry; size n + 1
  std::vector<std::size_t> entries;

  std::span<const std::size_t> of(std::size_t slot) const {
    return {entries.data() + start[slot], start[slot + 1] - start[slot]};
  }
};

// Counts each slot's unmet dependency entries (steps 1-2 of the ordering) and
// records who depends on whom. A dependency on an id that names no node is
// counted but never met.
Dependents count_dependencies(const Slots& slots, const NodeIndex& index,
                              std::vector<std::size_t>& remaining) {
  const std::size_t count = slots.size();
  Dependents dependents;
  dependents.start.assign(count + 1, 0);
  for (std::size_t slot : slots.dependency_slots)
    if (slot != npos) ++dependents.start[slot + 1];
  for (std::size_t slot = 0; slot < count; ++slot)
    dependents.start[slot + 1] += dependents.start[slot];

  dependents.entries.resize(dependents.start.back());
  std::vector<std::size_t> fill(dependents.start.begin(), dependents.start.end() - 1);
  for (std::size_t position = 0; position < count; ++position) {
    const std::size_t dependent = index.find(slots.ids[position]);
    remaining[dependent] += slots.dependency_count(position);
    for (std::size_t slot : slots.dependencies_of(position))
      if (slot != npos) dependents.entries[fill[slot]++] = dependent;
  }
  return dependents;
}

// Kahn's algorithm: slots without dependencies first, in node-list order,
// then every slot in the order its last dependency was met.
std::vector<std::size_t> order_slots(const Slots& slots, const NodeIndex& index) {
  const std::size_t count = slots.size();
  std::vector<std::size_t> remaining(count, 0);
  const Dependents dependents = count_dependencies(slots, index, remaining);

  std::vector<std::size_t> order;
  order.reserve(count);
  for (std::size_t position = 0; position < count; ++position)
    if (index.find(slots.ids[position]) == position && remaining[position] == 0)
      order.push_back(position);
  // `order` doubles as the queue: everything before `next` has been taken.
  for (std::size_t next = 0; next < order.size(); ++next)
    for (std::size_t dependent : dependents.of(order[next]))
      if (--remaining[dependent] == 0) order.push_back(dependent);
  return order;
}

// Groups ordered slots by the length of their longest dependency chain:
// fills `positions` with the slots level after level, each level in `order`,
// and `starts` with where each level begins in it, then its end.
void level_slots(const Slots& slots, const std::vector<std::size_t>& order,
                 std::vector<Position>& positions, std::vector<std::size_t>& starts) {
  std::vector<std::size_t> level_of(slots.size(), npos);
  starts.assign(1, 0);  // counts per level, shifted by one, until summed below
  for (std::size_t slot : order) {
    std::size_t level = 0;
    for (std::size_t dependency_slot : slots.dependencies_of(slot))
      if (dependency_slot != npos && level_of[dependency_slot] != npos)
        level = std::max(level, level_of[dependency_slot] + 1);
    level_of[slot] = level;
    if (starts.size() <= level + 1) starts.resize(level + 2, 0);
    ++starts[level + 1];
  }
  for (std::size_t level = 1; level < starts.size(); ++level) starts[level] += starts[level - 1];

  positions.resize(order.size());
  std::vector<std::size_t> fill(starts.begin(), starts.end() - 1);
  for (std::size_t slot : order) positions[fill[level_of[slot]]++] = slot;
}

// When the roots come first and every other node's parent is at or after
// the parent of the node before it (a chain, a fan-out, a chain with
// branches of one node), the list is already in walking order: each node's
// children are the run of nodes right after its predecessor's children.
// Then fills `level_starts` with where each level begins, then its end, and
// returns true; otherwise returns false and leaves it as it was.
bool walk_sorted_forest(std::span<const NodeId> parents, std::vector<std::size_t>& level_starts) {
  const std::size_t count = parents.size();
  std::size_t roots = 0;
  while (roots < count && parents[roots] == Dag::no_parent) ++roots;
  // A level ends where the children of its last node end; `walked` is how
  // many nodes the walk has met after taking the nodes before `next`, that
  // is, the roots and every node whose parent comes before `next`.
  const std::size_t kept = level_starts.size();
  level_starts.push_back(0);
  std::size_t level_end = roots;
  std::size_t walked = roots;
  for (std::size_t next = 0; next < count; ++next) {
    if (next == level_end) {
      if (walked == next) break;  // nothing more reachable: not a forest walk
      level_starts.push_back(next);
      level_end = walked;
    }
    while (walked < count && parents[walked] == next) ++walked;
    if (walked < count && parents[walked] < next) break;  // not sorted
  }
  if (walked != count) {
    level_starts.resize(kept);
    return false;
  }
  if (count != 0) level_starts.push_back(count);
  return true;
}

// With one dependency per node, the order in which each node's last
// dependency is met is a breadth-first walk from the roots. It lists the
// nodes level by level, so it is also the flat list of levels: replaces
// `parents` with it and fills `level_starts` with where each level begins,
// then its end. `Link` is the integer type of the two temporary arrays that
// thread each node's children through in list order: 32 bits whenever the
// positions fit, which halves what a large graph writes and reads.
template <class Link>
void walk_forest(std::vector<NodeId>& parents, std::vector<std::size_t>& level_starts) {
  constexpr Link none = std::numeric_limits<Link>::max();
  const std::size_t count = parents.size();
  std::vector<Link> first_child(count, none);
  std::vector<Link> next_sibling(count);
  std::size_t roots = 0;
  for (std::size_t position = count; position-- > 0;) {
    const NodeId parent = parents[position];
    if (parent == Dag::no_parent) {
      ++roots;
    } else {
      next_sibling[position] = first_child[parent];
      first_child[parent] = static_cast<Link>(position);
    }
  }

  // The parents are read; their memory takes the order, roots first.
  std::vector<NodeId>& order = parents;
  std::size_t root_end = 0;
  for (std::size_t position = 0; root_end < roots; ++position)
    if (order[position] == Dag::no_parent) order[root_end++] = position;
  order.resize(roots);

  level_starts.push_back(0);
  std::size_t level_end = order.size();
  for (std::size_t next = 0; next < order.size(); ++next) {
    if (next == level_end) {
      level_starts.push_back(next);
      level_end = order.size();
    }
    for (Link child = first_child[order[next]]; child != none; child = next_sibling[child])
      order.push_back(child);
  }
  if (order.size() > level_starts.back()) level_starts.push_back(order.size());
}

}  // namespace

Dag::Dag(std::vector<Node> nodes) : nodes_(std::move(nodes)) {
  Slots slots(nodes_);
  index_ = NodeIndex(slots.ids);
  slots.resolve(index_);
  const std::vector<std::size_t> order = order_slots(slots, index_);
  level_slots(slots, order, level_positions_, level_starts_);

  execution_order_.reserve(order.size());
  for (std::size_t position : order) execution_order_.push_back(slots.ids[position]);
  if (!std::equal(order.begin(), order.end(), execution_order_.begin()))
    order_positions_.assign(order.begin(), order.end());
  if (std::ranges::equal(level_positions_, order_positions())) level_positions_ = {};
}

Dag::Dag(std::vector<Node> nodes, std::vector<NodeId> parents)
    : nodes_(std::move(nodes)), index_(NodeIndex::identity(nodes_.size())) {
  // A chain has a level per node; others keep only what they use.
  level_starts_.reserve(parents.size() + 1);
  if (walk_sorted_forest(parents, level_starts_))
    std::iota(parents.begin(), parents.end(), NodeId{0});
  else if (parents.size() < std::numeric_limits<std::uint32_t>::max())
    walk_forest<std::uint32_t>(parents, level_starts_);
  else
    walk_forest<std::size_t>(parents, level_starts_);
  execution_order_ = std::move(parents);
  level_starts_.shrink_to_fit();
}

std::vector<std::vector<NodeId>> Dag::levels() const {
  std::vector<std::vector<NodeId>> levels(level_count());
  for (std::size_t level = 0; level < levels.size(); ++level) {
    const auto positions = level_positions(level);
    levels[level].reserve(positions.size());
    for (Position position : positions) levels[level].push_back(nodes_[position].id);
  }
  return levels;
}

std::span<const Position> Dag::level_positions(std::size_t level) const noexcept {
  const std::span<const Position> positions =
      level_positions_.empty() ? order_positions() : level_positions_;
  return {positions.data() + level_starts_[level], level_starts_[level + 1] - level_starts_[level]};
}

}  // namespace corvane::dag
