#include <algorithm>
#include <memory>
#include <mutex>

#include "dag/dag.hpp"
#include "dag/worker_chunk.hpp"

namespace corvane::dag {

namespace {

// The state of one run. Besides the context it can keep a record of every
// node's and every branch's outputs; a run that only hands back its context
// skips that record, so a value overwritten in the context is released at
// once instead of living until the run ends.
class RunState {
 public:
  explicit RunState(bool keep_records) : keep_records_(keep_records) {}

  const Context& context() const noexcept { return result_.context; }

  // Writes one node's outputs into the context and, when records are kept,
  // into the node's record and its branch's record.
  void merge(const Node& node, Context outputs) {
    if (!keep_records_) {
      for (auto& [name, value] : outputs) result_.context.insert_or_assign(name, std::move(value));
      return;
    }
    for (const auto& [name, value] : outputs) result_.context.insert_or_assign(name, value);
    if (node.branch_id) {
      Context& branch = result_.branch_outputs[*node.branch_id];
      for (const auto& [name, value] : outputs) branch.insert_or_assign(name, value);
    }
    result_.node_outputs.insert_or_assign(node.id, std::move(outputs));
  }

  ExecutionResult take() && { return std::move(result_); }

 private:
  bool keep_records_;
  ExecutionResult result_;
};

// What the workers of one level hand back, in the order they finished.
class LevelResults {
 public:
  void append(const Node& node, Context outputs) {
    std::lock_guard lock(mutex_);
    entries_.push_back({&node, std::move(outputs)});
  }

  void merge_into(RunState& run) {
    std::lock_guard lock(mutex_);
    for (auto& entry : entries_) run.merge(*entry.node, std::move(entry.outputs));
  }

 private:
  struct Entry {
    const Node* node;
    Context outputs;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

void run_inline(const Node& node, RunState& run, RunObserver* observer) {
  run.merge(node, execute_observed(node, run.context(), observer));
}

// What the workers of one level read and write: owned with the level's
// tasks by their waves, because the tasks of a level that a stop ended
// early go on in the background after the run has returned.
struct LevelRun {
  // Every worker of the level reads this one copy, taken before any of them
  // starts, so no node sees the outputs of another node of its level.
  const Context snapshot;
  LevelResults results;
};

// Runs the nodes of one level on pool workers, `chunk_size` at a time, then
// merges their outputs in the order the workers finished.
void run_level_in_parallel(const std::vector<Node>& nodes, std::span<const Position> level,
                           std::uint64_t chunk_size, RunState& run, RunObserver* observer) {
  const auto shared = std::make_shared<LevelRun>(run.context());
  WorkerPool& pool = WorkerPool::shared();

  for (std::size_t first = 0; first < level.size(); first += chunk_size) {
    const std::size_t last = std::min<std::uint64_t>(level.size(), first + chunk_size);
    run_chunk(pool, last - first, [&nodes, level, first, observer, shared](std::size_t offset) {
      const Node& node = nodes[level[first + offset]];
      shared->results.append(node, execute_observed(node, shared->snapshot, observer));
    });
  }
  shared->results.merge_into(run);
}

}  // namespace

ExecutionResult Dag::run(bool parallel, std::optional<std::uint64_t> max_threads, bool keep_records,
                         RunObserver* observer) const {
  RunState run(keep_records);
  if (!parallel) {
    for (Position position : order_positions()) run_inline(nodes_[position], run, observer);
    return std::move(run).take();
  }

  for (std::size_t index = 0; index < level_count(); ++index) {
    const std::span<const Position> level = level_positions(index);
    if (level.size() == 1) {
      run_inline(nodes_[level.front()], run, observer);
      continue;
    }
    const std::uint64_t chunk_size =
        max_threads ? std::max<std::uint64_t>(*max_threads, 1) : level.size();
    run_level_in_parallel(nodes_, level, chunk_size, run, observer);
  }
  return std::move(run).take();
}

ExecutionResult Dag::execute_detailed(bool parallel, std::optional<std::uint64_t> max_threads,
                                      RunObserver* observer) const {
  return run(parallel, max_threads, true, observer);
}

Context Dag::execute(bool parallel, std::optional<std::uint64_t> max_threads,
                     RunObserver* observer) const {
  return run(parallel, max_threads, false, observer).context;
}

}  // namespace corvane::dag
