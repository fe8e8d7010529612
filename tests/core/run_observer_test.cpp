#include "dag/run_observer.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dag/dag.hpp"
#include "node/run_stop.hpp"
#include "node_factory.hpp"

namespace corvane::dag {
namespace {

using testing::NodeFields;

// Everything that happened to one node, in the order it happened, with the
// thread it happened on.
struct Event {
  std::string what;
  std::thread::id thread;
};

class Journal {
 public:
  void add(NodeId id, std::string what) {
    std::lock_guard lock(mutex_);
    events_[id].push_back({std::move(what), std::this_thread::get_id()});
  }
  std::map<NodeId, std::vector<Event>> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::map<NodeId, std::vector<Event>> events_;
};

// Records every call; stops the run at node 3's call named `stop_at`, if any.
class RecordingObserver final : public RunObserver {
 public:
  explicit RecordingObserver(Journal& journal, std::string stop_at = "")
      : journal_(journal), stop_at_(std::move(stop_at)) {}

  void node_started(const Node& node) override { note(node, "started"); }
  void node_finished(const Node& node) override { note(node, "finished"); }
  void node_abandoned(const Node& node) noexcept override { journal_.add(node.id, "abandoned"); }

 private:
  void note(const Node& node, const std::string& what) {
    journal_.add(node.id, what);
    if (node.id == 3 && what == stop_at_) throw node::RunStop(nullptr);
  }

  Journal& journal_;
  std::string stop_at_;
};

// 1 -> {2, 3, 4} -> 5; node 3's function does what `middle` says.
Dag diamond(
    Journal& journal, std::function<void()> middle = [] {}) {
  std::vector<Node> nodes;
  for (NodeId id : {1, 2, 3, 4, 5}) {
    std::vector<NodeId> dependencies;
    if (id == 5)
      dependencies = {2, 3, 4};
    else if (id != 1)
      dependencies = {1};
    nodes.push_back(testing::make_node(
        NodeFields{id, dependencies, {}, {{"out", "v" + std::to_string(id)}}},
        node::NodeFunction([&journal, id, middle](const Context&, const Context&) {
          journal.add(id, "ran");
          if (id == 3) middle();
          Context out;
          out.insert_or_assign("out", graph_data::Int{static_cast<graph_data::Int>(id)});
          return out;
        })));
  }
  return Dag(std::move(nodes));
}

struct Mode {
  const char* name;
  bool parallel;
  std::optional<std::uint64_t> max_threads;
};

class ObservedRunTest : public ::testing::TestWithParam<Mode> {};

INSTANTIATE_TEST_SUITE_P(Modes, ObservedRunTest,
                         ::testing::Values(Mode{"Sequential", false, std::nullopt},
                                           Mode{"Parallel", true, std::nullopt},
                                           Mode{"ParallelOneAtATime", true, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(ObservedRunTest, EveryNodeIsSeenAroundItsFunctionOnItsThread) {
  Journal journal;
  RecordingObserver observer(journal);
  const Dag dag = diamond(journal);
  const ExecutionResult result =
      dag.execute_detailed(GetParam().parallel, GetParam().max_threads, &observer);

  EXPECT_EQ(result.context.size(), 5u);
  const auto events = journal.events();
  ASSERT_EQ(events.size(), 5u);
  for (const auto& [id, seen] : events) {
    ASSERT_EQ(seen.size(), 3u) << "node " << id;
    EXPECT_EQ(seen[0].what, "started");
    EXPECT_EQ(seen[1].what, "ran");
    EXPECT_EQ(seen[2].what, "finished");
    EXPECT_EQ(seen[0].thread, seen[1].thread);
    EXPECT_EQ(seen[2].thread, seen[1].thread);
  }
  EXPECT_EQ(dag.execute(GetParam().parallel, GetParam().max_threads, &observer).size(), 5u);
  EXPECT_EQ(journal.events().at(5).size(), 6u);
}

struct StopCase {
  const char* name;
  std::string stop_at;   // the observer call that throws, if any
  bool function_throws;  // node 3's function throws instead
  std::vector<std::string> node3;
};

class ObservedStopTest : public ::testing::TestWithParam<std::tuple<Mode, StopCase>> {};

// However node 3 ends the run, node 5 never starts, and node 3 is reported
// as finished only when its function returned and the observer let it be.
TEST_P(ObservedStopTest, RunEndsAtTheStoppingNode) {
  const auto& [mode, stop] = GetParam();
  Journal journal;
  RecordingObserver observer(journal, stop.stop_at);
  const Dag dag = diamond(journal, [&] {
    if (stop.function_throws) throw node::RunStop(nullptr);
  });
  EXPECT_THROW(dag.execute_detailed(mode.parallel, mode.max_threads, &observer), node::RunStop);
  const auto events = journal.events();
  EXPECT_FALSE(events.contains(5));
  std::vector<std::string> node3;
  for (const Event& event : events.at(3)) node3.push_back(event.what);
  EXPECT_EQ(node3, stop.node3);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, ObservedStopTest,
    ::testing::Combine(
        ::testing::Values(Mode{"Sequential", false, std::nullopt},
                          Mode{"Parallel", true, std::nullopt}),
        ::testing::Values(StopCase{"AtStart", "started", false, {"started"}},
                          StopCase{"AtFinish", "finished", false, {"started", "ran", "finished"}},
                          StopCase{"InFunction", "", true, {"started", "ran", "abandoned"}})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace corvane::dag
