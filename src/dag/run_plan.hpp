#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dag/dag.hpp"

namespace corvane::dag {

// The nodes one run takes when only some results are wanted, decided once
// before the run starts: every node that writes a target, and every node
// that writes a name some node of the plan reads and can see at its place
// in the run (before it in sequential runs, on an earlier level in parallel
// ones, among its ancestors in dataflow ones). A later writer never hides an earlier one, since it
// may fail or leave the name out. Nodes that write nothing wanted do not run.
class RunPlan {
 public:
  // Linear in the nodes and their names (for dataflow runs, in the edges
  // times the names wanted). `targets` is kept: a run with this
  // plan returns only those names of its context.
  RunPlan(const Dag& dag, Schedule schedule, std::vector<std::string> targets);

  // The positions in `dag.nodes()` to run, in the order a sequential run
  // takes them, and the same grouped by level (levels left empty dropped).
  std::span<const Position> order() const noexcept { return order_; }
  std::size_t level_count() const noexcept { return level_starts_.size() - 1; }
  std::span<const Position> level(std::size_t index) const noexcept {
    return {levels_.data() + level_starts_[index], level_starts_[index + 1] - level_starts_[index]};
  }
  // Per position in `dag.nodes()`, whether the node runs.
  std::span<const bool> runs() const noexcept { return {runs_.get(), node_count_}; }
  const std::vector<std::string>& targets() const noexcept { return targets_; }

 private:
  std::vector<std::string> targets_;
  std::size_t node_count_;
  std::unique_ptr<bool[]> runs_;
  std::vector<Position> order_;
  std::vector<Position> levels_;
  std::vector<std::size_t> level_starts_;
};

// The first of `targets` that no node of `dag` writes and that is not among
// `input_names`, if any.
std::optional<std::string> unknown_target(const Dag& dag, std::span<const std::string> input_names,
                                          std::span<const std::string> targets);

}  // namespace corvane::dag
