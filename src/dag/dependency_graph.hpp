#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "dag/dag.hpp"

namespace corvane::dag {

// A graph's runnable nodes by rank (their place in the execution order),
// with each node's dependencies and dependents as ranks, in two flat lists:
// what a run that follows the edges themselves needs, made in time linear in
// nodes plus edges. A dependency named twice is listed twice, on both sides.
class DependencyGraph {
 public:
  explicit DependencyGraph(const Dag& dag);

  std::size_t size() const noexcept { return order_.size(); }
  // The position in `dag.nodes()` of the node at `rank`.
  Position position(std::size_t rank) const noexcept { return order_[rank]; }
  // Ranks of the nodes that `rank` depends on, all smaller than it.
  std::span<const std::size_t> dependencies(std::size_t rank) const noexcept {
    return slice(dependencies_, dependency_starts_, rank);
  }
  // Ranks of the nodes that depend on `rank`, all larger than it, smallest
  // first.
  std::span<const std::size_t> dependents(std::size_t rank) const noexcept {
    return slice(dependents_, dependent_starts_, rank);
  }

  static constexpr std::size_t none = static_cast<std::size_t>(-1);
  // Joins (nodes with two or more dependencies) are few in most graphs: a
  // run keeps its state for them in an array of their own, at these numbers
  // (`none` for the other nodes).
  std::size_t join_number(std::size_t rank) const noexcept { return join_numbers_[rank]; }
  std::size_t join_count() const noexcept { return joins_.size(); }
  // The ranks of the joins, and of the nodes that depend on nothing.
  std::span<const std::size_t> joins() const noexcept { return joins_; }
  std::span<const std::size_t> roots() const noexcept { return roots_; }

 private:
  static std::span<const std::size_t> slice(const std::vector<std::size_t>& entries,
                                            const std::vector<std::size_t>& starts,
                                            std::size_t rank) noexcept {
    return {entries.data() + starts[rank], starts[rank + 1] - starts[rank]};
  }

  std::span<const Position> order_;
  std::vector<std::size_t> dependency_starts_;
  std::vector<std::size_t> dependencies_;
  std::vector<std::size_t> dependent_starts_;
  std::vector<std::size_t> dependents_;
  std::vector<std::size_t> join_numbers_;
  std::vector<std::size_t> joins_;
  std::vector<std::size_t> roots_;
};

}  // namespace corvane::dag
