#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dag/dag.hpp"
#include "dag/panic.hpp"
#include "dag/ranked_context.hpp"
#include "dag/run_plan.hpp"
#include "fake_host.hpp"
#include "node/run_stop.hpp"
#include "node_factory.hpp"

namespace corvane::dag {
namespace {

using graph_data::Int;
using testing::FakeObject;
using testing::NodeFields;
using Body = std::function<Context(const Context& inputs)>;
using namespace std::chrono_literals;

using testing::dag_of;
using testing::Step;

RunOptions dataflow(std::optional<std::uint64_t> max_threads = std::nullopt) {
  RunOptions options;
  options.schedule = Schedule::dataflow;
  options.max_threads = max_threads;
  return options;
}

Int int_at(const Context& context, const std::string& name) {
  return std::get<Int>(context.at(name));
}

std::vector<std::string> names_in(const Context& context) {
  std::vector<std::string> names;
  for (const auto& [name, value] : context) names.push_back(name);
  return names;
}

// A node reading v and writing, under `out`, one more than it read (1 when
// it sees none).
Step bumps(node::NodeId id, std::vector<node::NodeId> dependencies, std::string out) {
  return {{.id = id,
           .dependencies = std::move(dependencies),
           .inputs = {{"v", "v"}},
           .outputs = {{"v", std::move(out)}}},
          [](const Context& in) {
            const Int seen = in.contains("v") ? std::get<Int>(in.at("v")) : 0;
            return Context{{"v", seen + 1}};
          }};
}

// Records the thread it runs on in `ran[id]`, then pauses.
Body records_thread(std::vector<std::thread::id>& ran, node::NodeId id,
                    std::chrono::milliseconds pause = 0ms) {
  return [&ran, id, pause](const Context&) {
    ran[id] = std::this_thread::get_id();
    std::this_thread::sleep_for(pause);
    return Context{};
  };
}

Body writes_x(Int value) {
  return [value](const Context&) { return Context{{"x", value}}; };
}

// A flag that one node raises and another waits for, with a bound so that a
// broken schedule fails the test instead of hanging it.
class Signal {
 public:
  void raise() {
    std::lock_guard lock(mutex_);
    raised_ = true;
    changed_.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return raised_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool raised_ = false;
};

// --- What a node sees -------------------------------------------------------

// 0 forks into a (writes x at once) and b (reads x after a has finished);
// 3 joins them. b must not see a's x however late it reads.
TEST(DataflowVisibility, SiblingOutputsStayHiddenWhateverTheTiming) {
  Signal a_done;
  std::atomic<bool> b_saw_x{true};
  std::atomic<Int> join_saw{0};
  const Dag dag = dag_of({
      {{.id = 0, .outputs = {{"x", "x"}}}, writes_x(1)},
      {{.id = 1, .dependencies = {0}, .outputs = {{"x", "x"}}},
       [&](const Context&) {
         a_done.raise();
         return Context{{"x", Int{2}}};
       }},
      {{.id = 2, .dependencies = {0}, .inputs = {{"x", "x"}}, .outputs = {{"y", "y"}}},
       [&](const Context& in) {
         EXPECT_TRUE(a_done.wait());
         b_saw_x = std::get<Int>(in.at("x")) == 2;
         return Context{{"y", std::get<Int>(in.at("x"))}};
       }},
      {{.id = 3, .dependencies = {1, 2}, .inputs = {{"x", "x"}}, .outputs = {{"z", "z"}}},
       [&](const Context& in) {
         join_saw = std::get<Int>(in.at("x"));
         return Context{};
       }},
  });
  const Context context = dag.execute(dataflow());
  EXPECT_FALSE(b_saw_x);
  EXPECT_EQ(int_at(context, "y"), 1);
  // The join sees both branches, the later one in execution order last.
  EXPECT_EQ(join_saw, 2);
  EXPECT_EQ(int_at(context, "x"), 2);
}

// The final context lists the inputs, then every node's outputs merged in
// execution order, even when a later node finishes first.
TEST(DataflowVisibility, FinalContextFollowsTheExecutionOrder) {
  const Dag dag = dag_of({
      {{.id = 0, .outputs = {{"slow", "slow"}, {"w", "w"}}},
       [](const Context&) {
         std::this_thread::sleep_for(30ms);
         return Context{{"slow", Int{0}}, {"w", Int{0}}};
       }},
      {{.id = 1, .outputs = {{"fast", "fast"}, {"w", "w"}}},
       [](const Context&) {
         return Context{{"fast", Int{1}}, {"w", Int{1}}};
       }},
  });
  RunOptions options = dataflow();
  options.inputs = Context{{"input", Int{7}}};
  const Context context = dag.execute(std::move(options));
  EXPECT_EQ(names_in(context), (std::vector<std::string>{"input", "slow", "w", "fast"}));
  EXPECT_EQ(int_at(context, "w"), 1);
}

// On a graph whose nodes read only what their ancestors write, the run gives
// what a sequential run gives; records and branch outputs as well.
TEST(DataflowVisibility, AgreesWithSequentialWhenNodesReadTheirAncestors) {
  // 0 -> {1 -> 2, 3 -> 4}, {2, 4} -> 5 -> 6; 0 and 5 write v, all read it.
  const Dag dag =
      dag_of({bumps(0, {}, "v"), bumps(1, {0}, "a"), bumps(2, {1}, "e"), bumps(3, {0}, "b"),
              bumps(4, {3}, "c"), bumps(5, {2, 4}, "v"), bumps(6, {5}, "d")});
  const ExecutionResult sequential = dag.execute_detailed(false, std::nullopt);
  const ExecutionResult flowed = dag.execute_detailed(dataflow());
  EXPECT_EQ(names_in(flowed.context), names_in(sequential.context));
  for (const auto& [name, value] : sequential.context)
    EXPECT_EQ(int_at(flowed.context, name), std::get<Int>(value)) << name;
  EXPECT_EQ(flowed.node_outputs.size(), sequential.node_outputs.size());
  for (const auto& [id, outputs] : sequential.node_outputs)
    EXPECT_EQ(names_in(flowed.node_outputs.at(id)), names_in(outputs));
}

// --- Which threads run what -------------------------------------------------

TEST(DataflowThreads, ChainRunsOnTheCallingThread) {
  std::vector<Step> steps;
  std::vector<std::thread::id> ran(50);
  for (node::NodeId id = 0; id < 50; ++id) {
    steps.push_back({{.id = id,
                      .dependencies = id == 0 ? std::vector<node::NodeId>{}
                                              : std::vector<node::NodeId>{id - 1}},
                     records_thread(ran, id)});
  }
  dag_of(std::move(steps)).execute(dataflow());
  EXPECT_TRUE(std::ranges::all_of(ran, [](auto id) { return id == std::this_thread::get_id(); }));
}

// Two branches of three nodes each: each branch stays on one thread.
TEST(DataflowThreads, BranchStaysOnTheThreadOfItsFirstNode) {
  std::vector<std::thread::id> ran(7);
  auto record = [&ran](node::NodeId id) { return records_thread(ran, id, 2ms); };
  const Dag dag = dag_of({
      {{.id = 0}, record(0)},
      {{.id = 1, .dependencies = {0}}, record(1)},
      {{.id = 2, .dependencies = {1}}, record(2)},
      {{.id = 3, .dependencies = {2}}, record(3)},
      {{.id = 4, .dependencies = {0}}, record(4)},
      {{.id = 5, .dependencies = {4}}, record(5)},
      {{.id = 6, .dependencies = {5}}, record(6)},
  });
  dag.execute(dataflow());
  EXPECT_EQ(ran[0], std::this_thread::get_id());
  EXPECT_EQ(ran[1], ran[2]);
  EXPECT_EQ(ran[2], ran[3]);
  EXPECT_EQ(ran[4], ran[5]);
  EXPECT_EQ(ran[5], ran[6]);
  EXPECT_NE(ran[1], ran[4]);
}

// --- When nodes start -------------------------------------------------------

// Branches [slow] and [fast, next]: `next` starts while `slow`, on the level
// before it, is still running (slow waits for it).
TEST(DataflowStart, NodeStartsBeforeAnUnrelatedSlowerNodeEnds) {
  Signal next_started;
  std::atomic<bool> slow_waited_for_next{false};
  const Dag dag = dag_of({
      {{.id = 0},
       [&](const Context&) {
         slow_waited_for_next = next_started.wait();
         return Context{};
       }},
      {{.id = 1}},
      {{.id = 2, .dependencies = {1}},
       [&](const Context&) {
         next_started.raise();
         return Context{};
       }},
  });
  dag.execute(dataflow());
  EXPECT_TRUE(slow_waited_for_next);
}

class DataflowCap : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(DataflowCap, NoMoreNodesRunAtOnceThanTheCap) {
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  auto busy = [&](const Context&) {
    const int now = ++running;
    int seen = most.load();
    while (seen < now && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(3ms);
    --running;
    return Context{};
  };
  // A root fanning out to six branches of two nodes, then a join.
  std::vector<Step> steps{{{.id = 0}, busy}};
  std::vector<node::NodeId> ends;
  for (node::NodeId branch = 0; branch < 6; ++branch) {
    steps.push_back({{.id = 1 + 2 * branch, .dependencies = {0}}, busy});
    steps.push_back({{.id = 2 + 2 * branch, .dependencies = {1 + 2 * branch}}, busy});
    ends.push_back(2 + 2 * branch);
  }
  steps.push_back({{.id = 13, .dependencies = ends}, busy});
  const Dag dag = dag_of(std::move(steps));
  dag.execute(dataflow(GetParam()));
  EXPECT_LE(most.load(), std::max<int>(static_cast<int>(GetParam()), 1));
}

INSTANTIATE_TEST_SUITE_P(Caps, DataflowCap, ::testing::Values(0, 1, 2, 4));

// --- Stops --------------------------------------------------------------------

// A node that stops the run: the nodes running finish, none starts after
// it, the stop comes out of the run, and the Dag runs again.
TEST(DataflowStop, RunStopEndsTheRunAndNothingStartsAfterIt) {
  std::atomic<bool> stop_now{true};
  std::atomic<bool> stopped{false};
  std::atomic<int> started_after{0};
  Signal thrown;
  auto later = [&](const Context&) {
    if (stopped) ++started_after;
    return Context{};
  };
  const Dag dag = dag_of({
      {{.id = 0},
       [&](const Context&) -> Context {
         if (!stop_now) return {};
         stopped = true;
         throw node::RunStop(nullptr);
       }},
      // A sibling that is running when the stop comes, and its dependents.
      {{.id = 1},
       [&](const Context&) {
         std::this_thread::sleep_for(20ms);
         return Context{};
       }},
      {{.id = 2, .dependencies = {1}}, later},
      {{.id = 3, .dependencies = {0}}, later},
  });
  EXPECT_THROW(dag.execute(dataflow()), node::RunStop);
  EXPECT_EQ(started_after, 0);
  stop_now = false;
  stopped = false;
  EXPECT_EQ(dag.execute(dataflow()).size(), 0u);
}

TEST(DataflowStop, OtherFailureEndsTheRunWithAPanic) {
  const Dag dag = dag_of({
      {{.id = 0}, [](const Context&) -> Context { throw std::runtime_error("boom"); }},
      {{.id = 1}},
  });
  EXPECT_THROW(dag.execute(dataflow()), Panic);
}

// A stop on the calling thread, before anything forks, passes unchanged.
TEST(DataflowStop, StopOnTheCallingThreadPassesAsItIs) {
  const Dag dag = dag_of({
      {{.id = 0}, [](const Context&) -> Context { throw node::RunStop(nullptr); }},
      {{.id = 1, .dependencies = {0}}},
  });
  EXPECT_THROW(dag.execute(dataflow()), node::RunStop);
}

// --- Values and plans ---------------------------------------------------------

// Handles copied into views at forks and joins are all given back, and what
// the run returns holds its own counts.
TEST(DataflowValues, HandlesThroughForksAndJoinsStayBalanced) {
  FakeObject object;
  {
    graph_data::PyObjectHandle made = object.handle();
    auto pass = [](const Context& in) { return Context{{"h", in.at("h")}}; };
    const Dag dag = dag_of({
        {{.id = 0, .inputs = {{"h", "h"}}, .outputs = {{"h", "h"}}}, pass},
        {{.id = 1, .dependencies = {0}, .inputs = {{"h", "h"}}, .outputs = {{"h", "h"}}}, pass},
        {{.id = 2, .dependencies = {0}, .inputs = {{"h", "h"}}, .outputs = {{"h", "k"}}}, pass},
        {{.id = 3, .dependencies = {1, 2}, .inputs = {{"h", "h"}}, .outputs = {{"h", "j"}}}, pass},
    });
    RunOptions options = dataflow();
    options.inputs = Context{{"h", graph_data::GraphData(made)}};
    const ExecutionResult result = dag.execute_detailed(std::move(options));
    EXPECT_EQ(result.context.size(), 3u);
  }
  EXPECT_EQ(object.count.load(), 0);
  EXPECT_FALSE(object.over_released.load());
}

// Outputs merged in any order come out as if merged in rank order: values
// of the latest writer, names in the order of their first writer's outputs.
TEST(DataflowValues, RankedContextIgnoresTheOrderOfArrival) {
  const std::vector<std::pair<std::size_t, Context>> writes{
      {2, Context{{"b", Int{2}}, {"a", Int{2}}}},
      {3, Context{{"c", Int{3}}}},
      {4, Context{{"a", Int{4}}, {"d", Int{4}}}},
      {5, Context{{"b", Int{5}}, {"c", Int{5}}}},
  };
  std::vector<std::size_t> order{0, 1, 2, 3};
  do {
    RankedContext ranked(Context{{"input", Int{0}}, {"c", Int{0}}}, 1);
    for (std::size_t index : order) ranked.merge(writes[index].first, writes[index].second);
    const Context context = std::move(ranked).take();
    EXPECT_EQ(names_in(context), (std::vector<std::string>{"input", "c", "b", "a", "d"}));
    EXPECT_EQ(int_at(context, "a"), 4);
    EXPECT_EQ(int_at(context, "b"), 5);
    EXPECT_EQ(int_at(context, "c"), 5);
  } while (std::ranges::next_permutation(order).found);
}

// With targets, a node runs only when it writes a target or a name a needed
// descendant reads: a sibling's writes are not needed.
TEST(DataflowPlan, TargetsKeepOnlyAncestorsThatMatter) {
  std::atomic<int> sibling_runs{0};
  const Dag dag = dag_of({
      {{.id = 0, .outputs = {{"x", "x"}}}, writes_x(1)},
      {{.id = 1, .dependencies = {0}, .outputs = {{"x", "x"}}},
       [&](const Context&) {
         ++sibling_runs;
         return Context{{"x", Int{5}}};
       }},
      {{.id = 2, .dependencies = {0}, .inputs = {{"x", "x"}}, .outputs = {{"y", "y"}}},
       [](const Context& in) {
         return Context{{"y", std::get<Int>(in.at("x"))}};
       }},
      {{.id = 3, .dependencies = {1, 2}, .inputs = {{"y", "y"}}, .outputs = {{"z", "z"}}},
       [](const Context& in) {
         return Context{{"z", std::get<Int>(in.at("y")) + 1}};
       }},
  });
  const RunPlan plan(dag, Schedule::dataflow, {"z"});
  EXPECT_FALSE(plan.runs()[1]);
  RunOptions options = dataflow();
  options.plan = &plan;
  const Context context = dag.execute(std::move(options));
  EXPECT_EQ(names_in(context), std::vector<std::string>{"z"});
  EXPECT_EQ(int_at(context, "z"), 2);
  EXPECT_EQ(sibling_runs, 0);
  // In a sequential run the sibling's x comes before the reader: it is kept.
  EXPECT_TRUE(RunPlan(dag, Schedule::sequential, {"z"}).runs()[1]);
}

// --- Nested and concurrent runs -------------------------------------------------

TEST(DataflowRuns, NestedAndConcurrentRunsOnOneDag) {
  const Dag inner = dag_of({bumps(0, {}, "v"), bumps(1, {0}, "v"), bumps(2, {0}, "w")});
  auto nested = [&inner](const Context&) {
    const Context context = inner.execute(dataflow(2));
    return Context{{"got", std::get<Int>(context.at("v")) * 10 + std::get<Int>(context.at("w"))}};
  };
  const Dag outer = dag_of({
      {{.id = 0}},
      {{.id = 1, .dependencies = {0}, .outputs = {{"got", "a"}}}, nested},
      {{.id = 2, .dependencies = {0}, .outputs = {{"got", "b"}}}, nested},
  });
  std::vector<std::thread> callers;
  std::atomic<int> right{0};
  for (int caller = 0; caller < 4; ++caller)
    callers.emplace_back([&] {
      const Context context = outer.execute(dataflow());
      right += int_at(context, "a") == 22 && int_at(context, "b") == 22;
    });
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(right, 4);
}

}  // namespace
}  // namespace corvane::dag
