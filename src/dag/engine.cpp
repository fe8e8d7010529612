#include <algorithm>
#include <memory>
#include <mutex>

#include "dag/dag.hpp"
#include "dag/dataflow.hpp"
#include "dag/run_plan.hpp"
#include "dag/run_state.hpp"
#include "dag/worker_chunk.hpp"

namespace corvane::dag {

namespace {

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

ExecutionResult Dag::run(RunOptions options, bool keep_records) const {
  if (options.schedule == Schedule::dataflow)
    return run_dataflow(*this, std::move(options), keep_records);
  RunState run(keep_records, std::move(options.inputs));
  RunObserver* observer = options.observer;
  const RunPlan* plan = options.plan;
  const std::vector<std::string>* targets = plan != nullptr ? &plan->targets() : nullptr;
  if (options.schedule == Schedule::sequential) {
    for (Position position : plan != nullptr ? plan->order() : order_positions())
      run_inline(nodes_[position], run, observer);
    return std::move(run).take(targets);
  }

  const std::size_t levels = plan != nullptr ? plan->level_count() : level_count();
  for (std::size_t index = 0; index < levels; ++index) {
    const std::span<const Position> level =
        plan != nullptr ? plan->level(index) : level_positions(index);
    if (level.size() == 1) {
      run_inline(nodes_[level.front()], run, observer);
      continue;
    }
    const std::uint64_t chunk_size =
        options.max_threads ? std::max<std::uint64_t>(*options.max_threads, 1) : level.size();
    run_level_in_parallel(nodes_, level, chunk_size, run, observer);
  }
  return std::move(run).take(targets);
}

ExecutionResult Dag::execute_detailed(bool parallel, std::optional<std::uint64_t> max_threads,
                                      RunObserver* observer) const {
  return execute_detailed(RunOptions{schedule_of(parallel), max_threads, observer, {}, nullptr});
}

Context Dag::execute(bool parallel, std::optional<std::uint64_t> max_threads,
                     RunObserver* observer) const {
  return execute(RunOptions{schedule_of(parallel), max_threads, observer, {}, nullptr});
}

ExecutionResult Dag::execute_detailed(RunOptions options) const {
  return run(std::move(options), true);
}

Context Dag::execute(RunOptions options) const {
  return run(std::move(options), false).context;
}

}  // namespace corvane::dag
