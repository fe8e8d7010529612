#include <algorithm>
#include <memory>
#include <mutex>

#include "dag/dag.hpp"
#include "dag/worker_chunk.hpp"

namespace corvane::dag {

namespace {

// Writes one node's outputs into the run: the context, the per-node record
// and, for a branch node, its branch's record.
void merge_outputs(ExecutionResult& run, const Node& node, Context outputs) {
  for (const auto& [name, value] : outputs) run.context.insert_or_assign(name, value);
  if (node.branch_id) {
    Context& branch = run.branch_outputs[*node.branch_id];
    for (const auto& [name, value] : outputs) branch.insert_or_assign(name, value);
  }
  run.node_outputs.insert_or_assign(node.id, std::move(outputs));
}

// What the workers of one level hand back, in the order they finished.
class LevelResults {
 public:
  void append(const Node& node, Context outputs) {
    std::lock_guard lock(mutex_);
    entries_.push_back({&node, std::move(outputs)});
  }

  void merge_into(ExecutionResult& run) {
    std::lock_guard lock(mutex_);
    for (auto& entry : entries_) merge_outputs(run, *entry.node, std::move(entry.outputs));
  }

 private:
  struct Entry {
    const Node* node;
    Context outputs;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace

void Dag::run_level_in_parallel(const std::vector<std::size_t>& level, std::uint64_t chunk_size,
                                ExecutionResult& run) const {
  // Every worker of the level reads this one copy, taken before any of them
  // starts, so no node sees the outputs of another node of its level.
  auto snapshot = std::make_shared<const Context>(run.context);
  auto results = std::make_shared<LevelResults>();

  for (std::size_t first = 0; first < level.size(); first += chunk_size) {
    const std::size_t last = std::min<std::uint64_t>(level.size(), first + chunk_size);
    WorkerChunk workers(last - first);
    for (std::size_t i = first; i < last; ++i) {
      const Node& node = nodes_[level[i]];
      workers.spawn([&node, snapshot, results] { results->append(node, node.execute(*snapshot)); });
    }
    workers.join();
  }
  results->merge_into(run);
}

ExecutionResult Dag::execute_detailed(bool parallel,
                                      std::optional<std::uint64_t> max_threads) const {
  ExecutionResult run;
  if (!parallel) {
    for (std::size_t position : order_positions_) {
      const Node& node = nodes_[position];
      merge_outputs(run, node, node.execute(run.context));
    }
    return run;
  }

  for (const auto& level : level_positions_) {
    if (level.size() == 1) {
      const Node& node = nodes_[level.front()];
      merge_outputs(run, node, node.execute(run.context));
      continue;
    }
    const std::uint64_t chunk_size =
        max_threads ? std::max<std::uint64_t>(*max_threads, 1) : level.size();
    run_level_in_parallel(level, chunk_size, run);
  }
  return run;
}

Context Dag::execute(bool parallel, std::optional<std::uint64_t> max_threads) const {
  return execute_detailed(parallel, max_threads).context;
}

}  // namespace corvane::dag
