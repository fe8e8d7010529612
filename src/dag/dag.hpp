#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dag/execution_result.hpp"
#include "dag/node_index.hpp"
#include "dag/run_observer.hpp"
#include "node/node.hpp"

namespace corvane::dag {

class RunPlan;
class DependencyGraph;
class Dag;

// Where a `Dag` keeps its dependency graph once a run has made it. A copy
// starts without one (making it again costs one walk); a move takes it
// along. Safe for any number of threads asking at once.
class DependencyGraphCache {
 public:
  DependencyGraphCache() = default;
  DependencyGraphCache(const DependencyGraphCache& /*other*/) noexcept {}
  DependencyGraphCache(DependencyGraphCache&& other) noexcept : graph_(std::move(other.graph_)) {}
  DependencyGraphCache& operator=(const DependencyGraphCache& other) noexcept {
    if (this != &other) graph_.reset();
    return *this;
  }
  DependencyGraphCache& operator=(DependencyGraphCache&& other) noexcept {
    graph_ = std::move(other.graph_);
    return *this;
  }
  ~DependencyGraphCache() = default;

  // The graph of `dag`, made on the first call.
  std::shared_ptr<const DependencyGraph> get(const Dag& dag);

 private:
  std::mutex mutex_;
  std::shared_ptr<const DependencyGraph> graph_;
};

// A node's place in a graph's node list, kept in the id type: a graph whose
// ids are its positions (as every graph a builder makes) then keeps one list
// for its order of ids and its order of positions.
using Position = NodeId;

// How a run orders its nodes.
enum class Schedule : std::uint8_t {
  // One node after another in the execution order, each seeing everything
  // written before it.
  sequential,
  // Level after level, the nodes of a level at once, each seeing everything
  // written on earlier levels.
  levels,
  // Each node as soon as the nodes it depends on have finished, seeing the
  // inputs and what its ancestors wrote (see dataflow.hpp).
  dataflow,
};

// The schedule a yes/no `parallel` asks for.
constexpr Schedule schedule_of(bool parallel) noexcept {
  return parallel ? Schedule::levels : Schedule::sequential;
}

// Everything one run is given.
struct RunOptions {
  Schedule schedule = Schedule::sequential;
  std::optional<std::uint64_t> max_threads;
  RunObserver* observer = nullptr;
  // The context the run starts from.
  Context inputs;
  // Only these nodes run, and only its targets come back; null for all.
  const RunPlan* plan = nullptr;
};

// A built, immutable graph: its nodes, a topological order of the runnable
// ones and their dependency levels. Nodes on a cycle, or depending (directly
// or not) on a missing id, stay in `nodes()` but are left out of execution.
// Every operation reads it only, so any number of threads may use one `Dag`.
class Dag {
 public:
  // Orders and levels `nodes` once, in time linear in nodes plus
  // dependencies. Reports nothing, whatever the dependencies.
  explicit Dag(std::vector<Node> nodes);

  // What `parents` holds for a node that depends on nothing.
  static constexpr NodeId no_parent = std::numeric_limits<NodeId>::max();

  // The same graph as above for the nodes a builder makes: numbered 0, 1,
  // 2, ... in list order, each depending on at most one other node, whose
  // id `parents` gives by position (or `no_parent`). Reads no node, and
  // keeps the execution order in the memory of `parents`: a large graph
  // costs only a walk or two over that one array.
  Dag(std::vector<Node> nodes, std::vector<NodeId> parents);

  const std::vector<Node>& nodes() const noexcept { return nodes_; }
  const std::vector<NodeId>& execution_order() const noexcept { return execution_order_; }
  // The levels as lists of ids, made anew on every call: a graph keeps them
  // only as positions, in one flat list, so that building a long chain does
  // not allocate a list per level.
  std::vector<std::vector<NodeId>> levels() const;
  std::size_t level_count() const noexcept {
    return level_starts_.empty() ? 0 : level_starts_.size() - 1;
  }

  // Runs the graph once from an empty context: node after node in
  // `execution_order()`, or with `parallel` level after level, the nodes of
  // a level of two or more on their own worker threads, `max_threads` at a
  // time (0 counts as 1, absent means the whole level). Throws `Panic` when
  // a worker fails or cannot be started, and passes a `node::RunStop` thrown
  // by a node function or by `observer` on unchanged. A given `observer`
  // is told of every node's start and end (see `RunObserver`).
  ExecutionResult execute_detailed(bool parallel, std::optional<std::uint64_t> max_threads,
                                   RunObserver* observer = nullptr) const;

  // The context that `execute_detailed` would give, without keeping the
  // per-node and per-branch records: values overwritten in the context are
  // released as soon as they are replaced.
  Context execute(bool parallel, std::optional<std::uint64_t> max_threads,
                  RunObserver* observer = nullptr) const;

  // The same two runs with everything a run can be given: its schedule
  // (including `Schedule::dataflow`, see dataflow.hpp), the context it
  // starts from and, with a plan made for this graph and this schedule,
  // only the plan's nodes, returning only the plan's targets of the context.
  ExecutionResult execute_detailed(RunOptions options) const;
  Context execute(RunOptions options) const;

  // The graph as the text of a top-down Mermaid flowchart: every node, every
  // dependency edge labelled with the variables it carries, branch entries
  // highlighted.
  std::string to_mermaid() const;

  // The runnable nodes with their dependencies and dependents by rank, made
  // by the first call and kept with the graph.
  std::shared_ptr<const DependencyGraph> dependency_graph() const {
    return dependency_graph_.get(*this);
  }

  // The positions in `nodes()` of one level, and of the execution order.
  std::span<const Position> level_positions(std::size_t level) const noexcept;
  std::span<const Position> order_positions() const noexcept {
    return order_positions_.empty() ? execution_order_ : order_positions_;
  }
  // The position in `nodes()` of the node that a dependency on `id` names
  // (the first with that id), or `NodeIndex::npos`. Constant time.
  std::size_t position_of(NodeId id) const { return index_.find(id); }

 private:
  ExecutionResult run(RunOptions options, bool keep_records) const;

  std::vector<Node> nodes_;
  std::vector<NodeId> execution_order_;
  NodeIndex index_;

  // The same order and levels as positions in `nodes_`, resolved once so
  // that runs never look a node up. The order is left empty when it equals
  // `execution_order_`. The levels are one flat list, level after level,
  // left empty when it would equal the order (as it does for every graph a
  // builder makes); `level_starts_` holds where each level begins, and then
  // the list's end.
  std::vector<Position> order_positions_;
  std::vector<Position> level_positions_;
  std::vector<std::size_t> level_starts_;
  mutable DependencyGraphCache dependency_graph_;
};

}  // namespace corvane::dag
