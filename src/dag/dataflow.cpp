#include "dag/dataflow.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "dag/dataflow_view.hpp"
#include "dag/dependency_graph.hpp"
#include "dag/ranked_context.hpp"
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

// Merges finished nodes' outputs into the run's context as if in execution
// order, whatever order they finish in. Until the run forks, nodes finish in
// that order on one thread and go straight into the context. After that, a
// run that keeps records merges each node once every node before it has
// (outputs wait while an earlier node runs), so that branch records too come
// out in that order; a run that keeps only its context merges at once into
// a `RankedContext`, which holds one value per name.
class OutputMerge {
 public:
  OutputMerge(RunState& run, const std::vector<Node>& nodes, const DependencyGraph& graph,
              bool keep_records)
      : run_(run), nodes_(nodes), graph_(graph), keep_records_(keep_records) {}

  // Merges the outputs of the next node in order (or nothing for a node
  // passed through without running) before the run forks.
  void finish_alone(std::size_t rank, std::optional<Context> outputs) {
    merge_next(rank, std::move(outputs));
  }

  // Called once the run is about to fork, before any node runs elsewhere:
  // `rank` is the rank of the first node not merged yet.
  void fork(std::size_t rank) {
    if (!keep_records_) ranked_.emplace(std::move(run_).take_context(), rank);
  }

  // Takes the outputs of the node at `rank` from any thread after the fork.
  void finish(std::size_t rank, std::optional<Context> outputs) {
    std::lock_guard lock(mutex_);
    if (ranked_) {
      if (outputs) ranked_->merge(rank + 1, std::move(*outputs));
      return;
    }
    if (rank != next_) {
      waiting_.emplace(rank, std::move(outputs));
      return;
    }
    merge_next(rank, std::move(outputs));
    for (auto first = waiting_.begin(); first != waiting_.end() && first->first == next_;
         first = waiting_.erase(first))
      merge_next(first->first, std::move(first->second));
  }

  // Puts the merged context back into the run, once every node has ended.
  void end() {
    if (ranked_) run_.set_context(std::move(*ranked_).take());
  }

 private:
  void merge_next(std::size_t rank, std::optional<Context> outputs) {
    if (outputs) run_.merge(nodes_[graph_.position(rank)], std::move(*outputs));
    next_ = rank + 1;
  }

  RunState& run_;
  const std::vector<Node>& nodes_;
  const DependencyGraph& graph_;
  const bool keep_records_;
  std::mutex mutex_;
  std::size_t next_ = 0;
  // Finished after a node still running, by rank.
  std::map<std::size_t, std::optional<Context>> waiting_;
  std::optional<RankedContext> ranked_;
};

// A join waiting for its dependencies: the frames of those that have
// finished, merged as they arrive, so that it keeps one frame however many
// it waits for, and a value overwritten by a later ancestor goes at once.
class JoinState {
 public:
  // Takes the frame after one dependency; gives the join's view once every
  // dependency has arrived, and null before.
  std::shared_ptr<const Frame> arrive(const std::shared_ptr<const Frame>& frame) {
    std::lock_guard lock(mutex_);
    if (merged_) {
      const std::shared_ptr<const Frame> both[] = {merged_, frame};
      merged_ = View::join(both);
    } else {
      merged_ = frame;
    }
    if (--unmet != 0) return nullptr;
    return std::move(merged_);
  }

  // Dependencies not arrived yet; set before the run starts.
  std::size_t unmet = 0;

 private:
  std::mutex mutex_;
  std::shared_ptr<const Frame> merged_;
};

// One dataflow run. Its tasks on the pool share it: a stop seen by the
// waiting caller (an interrupt) ends the run while the nodes running finish
// in the background, still reading and writing this state; the host keeps
// the graph itself and the observer alive for them.
class DataflowRun : public std::enable_shared_from_this<DataflowRun> {
 public:
  DataflowRun(const Dag& dag, RunOptions& options, bool keep_records)
      : run_(keep_records, std::move(options.inputs)),
        nodes_(dag.nodes()),
        graph_holder_(dag.dependency_graph()),
        graph_(*graph_holder_),
        observer_(options.observer),
        slots_(options.max_threads),
        merge_(run_, nodes_, graph_, keep_records),
        joins_(graph_.join_count() == 0 ? nullptr
                                        : std::make_unique<JoinState[]>(graph_.join_count())) {
    for (std::size_t rank : graph_.joins())
      joins_[graph_.join_number(rank)].unmet = graph_.dependencies(rank).size();
    if (options.plan != nullptr)
      runs_.assign(options.plan->runs().begin(), options.plan->runs().end());
  }

  // Runs every node.
  void run() {
    const auto roots = graph_.roots();
    if (roots.size() == 1) {
      run_trunk(roots.front());
    } else if (!roots.empty()) {
      std::vector<Ready> ready;
      {
        const std::shared_ptr<const Frame> start = View::frame_of(run_.context(), 0);
        for (std::size_t root : roots) ready.push_back({root, start});
      }
      merge_.fork(0);
      run_elsewhere(std::move(ready));
    }
    merge_.end();
  }

  // The result, once `run` has returned; with `targets`, only those names.
  ExecutionResult take(const std::vector<std::string>* targets) {
    return std::move(run_).take(targets);
  }

 private:
  // Runs the chain that begins at the one root, up to its first fork, on
  // this thread. Until then the run's context is exactly what each node
  // sees (the inputs and every node before it, all its ancestors), so the
  // chain reads it directly, as a sequential run does; the fork then makes
  // it the frame the rest of the run shares. Its entries take the rank of
  // the chain's end: every later node comes after it.
  void run_trunk(std::size_t rank) {
    for (;;) {
      std::optional<Context> outputs;
      if (!run_node(rank, run_.context(), outputs)) return;
      merge_.finish_alone(rank, std::move(outputs));
      if (continues_chain(rank)) {
        rank = graph_.dependents(rank).front();
        continue;
      }
      if (graph_.dependents(rank).empty()) return;
      std::shared_ptr<const Frame> frame = View::frame_of(run_.context(), rank + 1);
      merge_.fork(rank + 1);
      if (auto next = hand_on(rank, std::move(frame)))
        run_from(next->first, std::move(next->second));
      return;
    }
  }

  // Runs the node at `rank` and then, on this thread, each dependent it
  // leaves to this thread, until one has none ready.
  void run_from(std::size_t rank, View view) {
    for (;;) {
      std::optional<Context> outputs;
      if (!run_node(rank, view, outputs)) return;
      if (graph_.dependents(rank).empty()) {
        merge_.finish(rank, std::move(outputs));
        return;
      }
      if (outputs) view.write(rank + 1, *outputs);
      merge_.finish(rank, std::move(outputs));
      if (continues_chain(rank)) {
        rank = graph_.dependents(rank).front();  // the view goes on as it is
        continue;
      }
      auto next = hand_on(rank, std::move(view).freeze());
      if (!next) return;
      rank = next->first;
      view = std::move(next->second);
    }
  }

  // Whether the node at `rank` has one dependent, which depends on it alone.
  bool continues_chain(std::size_t rank) const {
    const auto dependents = graph_.dependents(rank);
    return dependents.size() == 1 && graph_.dependencies(dependents.front()).size() == 1;
  }

  // Runs the node at `rank` reading `seen` (a `Context` or a `View`), unless
  // the plan leaves it out: `outputs` then stays empty, and its dependents
  // see what it saw. False when the run has been stopped before it began.
  template <class Seen>
  bool run_node(std::size_t rank, const Seen& seen, std::optional<Context>& outputs) {
    if (!runs_.empty() && !runs_[graph_.position(rank)]) return true;
    const NodeSlots::Held slot(slots_);
    if (stopped_.load(std::memory_order_acquire)) return false;
    const Node& node = nodes_[graph_.position(rank)];
    try {
      outputs = call_observed(node, observer_, [&] {
        return node.execute_with([&seen](const std::string& name) -> const GraphData* {
          if constexpr (std::is_same_v<Seen, Context>) {
            auto found = seen.find(name);
            return found == seen.end() ? nullptr : &found->second;
          } else {
            return seen.find(name);
          }
        });
      });
    } catch (...) {
      stopped_.store(true, std::memory_order_release);
      throw;
    }
    return true;
  }

  // Hands the view after the node at `rank` (a fork or the end of a join's
  // dependency) on to its dependents that are ready now: the first goes on
  // on this thread and is returned, the others begin on workers, which this
  // thread then waits for (and returns nothing).
  std::optional<std::pair<std::size_t, View>> hand_on(std::size_t rank,
                                                      std::shared_ptr<const Frame> frame) {
    std::vector<Ready> ready;
    for (std::size_t dependent : graph_.dependents(rank)) {
      const std::size_t join = graph_.join_number(dependent);
      if (join == DependencyGraph::none) {
        ready.push_back({dependent, frame});
      } else if (auto joined = joins_[join].arrive(frame)) {
        ready.push_back({dependent, std::move(joined)});
      }
    }
    // This thread keeps no frame while it waits: each goes as soon as the
    // views made from it are done with it.
    frame.reset();
    if (ready.size() == 1)
      return std::pair{ready.front().rank, View(std::move(ready.front().frame))};
    if (!ready.empty()) run_elsewhere(std::move(ready));
    return std::nullopt;
  }

  // A node ready to begin, and the frame its view starts from.
  struct Ready {
    std::size_t rank;
    std::shared_ptr<const Frame> frame;
  };

  // Begins each of `ready` on a pool worker, and waits for them and for
  // everything they go on to run.
  void run_elsewhere(std::vector<Ready> ready) {
    if (stopped_.load(std::memory_order_acquire)) return;
    const std::size_t count = ready.size();
    try {
      run_chunk(WorkerPool::shared(), count,
                [self = shared_from_this(), ready = std::move(ready)](std::size_t index) mutable {
                  self->run_from(ready[index].rank, View(std::move(ready[index].frame)));
                });
    } catch (...) {
      // A refused thread ends the run as a failed node does.
      stopped_.store(true, std::memory_order_release);
      throw;
    }
  }

  RunState run_;
  const std::vector<Node>& nodes_;
  const std::shared_ptr<const DependencyGraph> graph_holder_;
  const DependencyGraph& graph_;
  RunObserver* observer_;
  // Per position, whether the plan runs the node; empty for all. A copy,
  // since nodes may finish after the run (and its plan) are gone.
  std::vector<bool> runs_;
  NodeSlots slots_;
  OutputMerge merge_;
  std::atomic<bool> stopped_{false};
  std::unique_ptr<JoinState[]> joins_;
};

}  // namespace

ExecutionResult run_dataflow(const Dag& dag, RunOptions options, bool keep_records) {
  const auto flow = std::make_shared<DataflowRun>(dag, options, keep_records);
  flow->run();
  return flow->take(options.plan != nullptr ? &options.plan->targets() : nullptr);
}

}  // namespace corvane::dag
