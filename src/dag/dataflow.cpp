#include "dag/dataflow.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "dag/dataflow_view.hpp"
#include "dag/dependency_graph.hpp"
#include "dag/run_plan.hpp"
#include "dag/run_state.hpp"
#include "dag/worker_chunk.hpp"
#include "graph_data/host_hooks.hpp"

namespace corvane::dag {

namespace {

using Frame = View::Frame;

// At most a given number of node functions at once; without a cap, a test
// of a flag.
class NodeSlots {
 public:
  explicit NodeSlots(std::optional<std::uint64_t> cap)
      : capped_(cap.has_value()), free_(cap ? std::max<std::uint64_t>(*cap, 1) : 0) {}

  // Holds one slot for its life, waiting for one to be free.
  class Held {
   public:
    explicit Held(NodeSlots& slots) : slots_(slots) { slots_.acquire(); }
    ~Held() { slots_.release(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    NodeSlots& slots_;
  };

 private:
  void acquire() {
    if (!capped_) return;
    std::unique_lock lock(mutex_);
    if (free_ == 0) {
      // A host lock kept by this thread would keep the slot holders from
      // ever finishing.
      graph_data::call_host_hook(&graph_data::HostHooks::before_wait);
      freed_.wait(lock, [this] { return free_ > 0; });
    }
    --free_;
  }

  void release() {
    if (!capped_) return;
    {
      std::lock_guard lock(mutex_);
      ++free_;
    }
    freed_.notify_one();
  }

  bool capped_;
  std::uint64_t free_;
  std::mutex mutex_;
  std::condition_variable freed_;
};

// Merges finished nodes' outputs into the run's context in execution order,
// whatever order they finish in: each node's outputs wait only for the
// nodes before it, and are released once merged.
class OrderedMerge {
 public:
  OrderedMerge(RunState& run, const std::vector<Node>& nodes, const DependencyGraph& graph)
      : run_(run), nodes_(nodes), graph_(graph), waiting_(graph.size()) {}

  // Takes the outputs of the node at `rank`, or nothing for a node passed
  // through without running.
  void finish(std::size_t rank, std::optional<Context> outputs) {
    std::lock_guard lock(mutex_);
    waiting_[rank] = Finished{true, std::move(outputs)};
    for (; next_ < waiting_.size() && waiting_[next_].done; ++next_) {
      Finished finished = std::move(waiting_[next_]);
      if (finished.outputs)
        run_.merge(nodes_[graph_.position(next_)], std::move(*finished.outputs));
    }
  }

 private:
  struct Finished {
    bool done = false;
    std::optional<Context> outputs;
  };

  RunState& run_;
  const std::vector<Node>& nodes_;
  const DependencyGraph& graph_;
  std::mutex mutex_;
  std::vector<Finished> waiting_;
  std::size_t next_ = 0;
};

class DataflowRun {
 public:
  DataflowRun(const Dag& dag, const RunOptions& options, RunState& run)
      : nodes_(dag.nodes()),
        graph_(dag),
        observer_(options.observer),
        runs_(options.plan != nullptr ? options.plan->runs() : std::span<const bool>()),
        slots_(options.max_threads),
        merge_(run, nodes_, graph_),
        unmet_(std::make_unique<std::atomic<std::size_t>[]>(graph_.size())),
        join_readers_(std::make_unique<std::atomic<std::size_t>[]>(graph_.size())),
        frames_(graph_.size()) {
    for (std::size_t rank = 0; rank < graph_.size(); ++rank) {
      const auto dependencies = graph_.dependencies(rank);
      unmet_[rank].store(dependencies.size(), std::memory_order_relaxed);
      if (dependencies.size() > 1)
        for (std::size_t dependency : dependencies)
          join_readers_[dependency].fetch_add(1, std::memory_order_relaxed);
    }
  }

  // Runs every node, each root starting from `start`.
  void run(const std::shared_ptr<const Frame>& start) {
    std::vector<std::size_t> roots;
    for (std::size_t rank = 0; rank < graph_.size(); ++rank)
      if (graph_.dependencies(rank).empty()) roots.push_back(rank);
    if (roots.empty()) return;
    if (roots.size() == 1)
      run_from(roots.front(), View(start));
    else
      run_elsewhere(roots, std::vector<View>(roots.size(), View(start)));
  }

 private:
  // Runs the node at `rank` and then, on this thread, each dependent it
  // leaves to this thread, until one has none ready.
  void run_from(std::size_t rank, View view) {
    for (;;) {
      std::optional<Context> outputs;
      if (!runs_.empty() && !runs_[graph_.position(rank)]) {
        // Left out by the plan: its dependents see what it saw.
      } else {
        const NodeSlots::Held slot(slots_);
        if (stopped_.load(std::memory_order_acquire)) return;
        outputs = execute(rank, view);
      }

      const auto dependents = graph_.dependents(rank);
      if (dependents.empty()) {
        merge_.finish(rank, std::move(outputs));
        return;
      }
      if (outputs) view.write(rank + 1, *outputs);
      merge_.finish(rank, std::move(outputs));
      if (dependents.size() == 1 && graph_.dependencies(dependents.front()).size() == 1) {
        rank = dependents.front();  // a chain: the view goes on as it is
        continue;
      }

      // A fork or a join: the view is shared from here on.
      std::shared_ptr<const Frame> frame = std::move(view).freeze();
      if (join_readers_[rank].load(std::memory_order_relaxed) > 0) frames_[rank] = frame;
      std::vector<std::size_t> ready;
      std::vector<View> views;
      for (std::size_t dependent : dependents) {
        if (unmet_[dependent].fetch_sub(1, std::memory_order_acq_rel) != 1) continue;
        ready.push_back(dependent);
        views.emplace_back(graph_.dependencies(dependent).size() == 1 ? frame
                                                                      : joined_frame(dependent));
      }
      if (ready.empty()) return;
      if (ready.size() > 1) {
        run_elsewhere(ready, std::move(views));
        return;
      }
      rank = ready.front();
      view = std::move(views.front());
    }
  }

  // Starts each of `ranks` on a pool worker with its view, and waits for them
  // and for everything they go on to run.
  void run_elsewhere(const std::vector<std::size_t>& ranks, std::vector<View> views) {
    run_chunk(WorkerPool::shared(), ranks.size(),
              [&](std::size_t index) { run_from(ranks[index], std::move(views[index])); });
  }

  Context execute(std::size_t rank, const View& view) {
    const Node& node = nodes_[graph_.position(rank)];
    try {
      return call_observed(node, observer_, [&] {
        return node.execute_with([&view](std::string_view name) { return view.find(name); });
      });
    } catch (...) {
      stopped_.store(true, std::memory_order_release);
      throw;
    }
  }

  // The view a join starts from, made by the thread that finished its last
  // dependency: every dependency has left its frame by then. The last join
  // to read a node's frame lets it go.
  std::shared_ptr<const Frame> joined_frame(std::size_t join) {
    const auto dependencies = graph_.dependencies(join);
    std::vector<std::shared_ptr<const Frame>> frames;
    frames.reserve(dependencies.size());
    for (std::size_t dependency : dependencies) frames.push_back(frames_[dependency]);
    std::shared_ptr<const Frame> joined = View::join(frames);
    for (std::size_t dependency : dependencies)
      if (join_readers_[dependency].fetch_sub(1, std::memory_order_acq_rel) == 1)
        frames_[dependency].reset();
    return joined;
  }

  const std::vector<Node>& nodes_;
  const DependencyGraph graph_;
  RunObserver* observer_;
  std::span<const bool> runs_;
  NodeSlots slots_;
  OrderedMerge merge_;
  std::atomic<bool> stopped_{false};
  // Per rank: dependencies not finished yet, and joins yet to read its frame.
  std::unique_ptr<std::atomic<std::size_t>[]> unmet_;
  std::unique_ptr<std::atomic<std::size_t>[]> join_readers_;
  // Per rank: the view after the node, kept for the joins that depend on it.
  std::vector<std::shared_ptr<const Frame>> frames_;
};

}  // namespace

ExecutionResult run_dataflow(const Dag& dag, RunOptions options, bool keep_records) {
  const std::shared_ptr<const Frame> start = View::inputs_frame(options.inputs);
  RunState run(keep_records, std::move(options.inputs));
  DataflowRun(dag, options, run).run(start);
  return std::move(run).take(options.plan != nullptr ? &options.plan->targets() : nullptr);
}

}  // namespace corvane::dag
