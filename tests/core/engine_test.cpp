#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dag/dag.hpp"
#include "dag/panic.hpp"
#include "fake_host.hpp"
#include "node/run_stop.hpp"
#include "node_factory.hpp"

namespace corvane::dag {
namespace {

using graph_data::GraphData;
using graph_data::Int;
using graph_data::PyObjectHandle;
using testing::FakeObject;
using testing::NodeFields;
using Ints = std::map<std::string, Int>;
using Body = std::function<Context(const Context& inputs)>;
using namespace std::chrono_literals;

using testing::dag_of;
using testing::Step;

Body returns(Ints values) {
  return [values](const Context&) {
    Context out;
    for (const auto& [name, value] : values) out.insert_or_assign(name, value);
    return out;
  };
}

Ints ints_of(const Context& context) {
  Ints ints;
  for (const auto& [name, value] : context) ints[name] = std::get<Int>(value);
  return ints;
}

template <class Map>
std::map<std::uint64_t, Ints> ints_by_id(const Map& map) {
  std::map<std::uint64_t, Ints> result;
  for (const auto& [id, context] : map) result[id] = ints_of(context);
  return result;
}

// How a failing node function fails.
enum class Failure { kStdException, kForeignException, kRunStop };

struct Thrown {};  // not derived from std::exception

[[noreturn]] void fail(Failure failure, const std::shared_ptr<void>& payload) {
  switch (failure) {
    case Failure::kStdException:
      throw std::runtime_error("node failed");
    case Failure::kForeignException:
      throw Thrown{};
    case Failure::kRunStop:
      throw node::RunStop(payload);
  }
  std::abort();
}

struct Mode {
  bool parallel;
  std::optional<std::uint64_t> max_threads;
};

std::string mode_name(const ::testing::TestParamInfo<Mode>& info) {
  std::string name = info.param.parallel ? "Parallel" : "Sequential";
  return name + (info.param.max_threads ? std::to_string(*info.param.max_threads) : "Unbounded");
}

class EngineModeTest : public ::testing::TestWithParam<Mode> {
 protected:
  ExecutionResult run(const Dag& dag) const {
    return dag.execute_detailed(GetParam().parallel, GetParam().max_threads);
  }
};

INSTANTIATE_TEST_SUITE_P(Modes, EngineModeTest,
                         ::testing::Values(Mode{false, std::nullopt}, Mode{false, 1},
                                           Mode{true, std::nullopt}, Mode{true, 0}, Mode{true, 1},
                                           Mode{true, 2}, Mode{true, 64}),
                         mode_name);

TEST_P(EngineModeTest, EmptyDagGivesEmptyResult) {
  const Dag dag({});
  const ExecutionResult result = run(dag);
  EXPECT_TRUE(result.context.empty());
  EXPECT_TRUE(result.node_outputs.empty());
  EXPECT_TRUE(result.branch_outputs.empty());
  EXPECT_TRUE(dag.execute(GetParam().parallel, GetParam().max_threads).empty());
}

// Sequential runs show each node what the nodes before it wrote; parallel
// runs show a level only what earlier levels wrote, even across chunks.
TEST_P(EngineModeTest, LevelPeersSeeEachOtherOnlyWhenSequential) {
  const Dag dag = dag_of({
      {{1}},
      {{2, {1}, {}, {{"y", "y"}}}, returns({{"y", 10}})},
      {{3, {1}, {{"y", "y"}}, {{"saw", "saw"}}},
       [](const Context& in) {
         return Context{{"saw", GraphData(Int(in.count("y")))}};
       }},
      {{4, {2, 3}, {{"y", "y"}, {"saw", "saw"}}, {{"n", "later"}}},
       [](const Context& in) {
         return Context{{"n", GraphData(Int(in.size()))}};
       }},
  });
  const Int expected_saw = GetParam().parallel ? 0 : 1;
  EXPECT_EQ(ints_of(run(dag).context), (Ints{{"y", 10}, {"saw", expected_saw}, {"later", 2}}));
}

TEST_P(EngineModeTest, EmptyOutputsStillGetEntries) {
  const ExecutionResult result = run(dag_of({
      {{1, {}, {}, {}, {}, 7}, returns({{"ignored", 1}})},
      {{2}},
      {{3, {1, 2}, {}, {{"r", "x"}}, {}, 7}},
  }));
  EXPECT_TRUE(result.context.empty());
  EXPECT_EQ(ints_by_id(result.node_outputs),
            (std::map<std::uint64_t, Ints>{{1, {}}, {2, {}}, {3, {}}}));
  EXPECT_EQ(ints_by_id(result.branch_outputs), (std::map<std::uint64_t, Ints>{{7, {}}}));
}

TEST_P(EngineModeTest, BranchOutputsAreUnionsOfTheirNodes) {
  const ExecutionResult result = run(dag_of({
      {{1, {}, {}, {{"a", "a"}, {"x", "x"}}, {}, 1}, returns({{"a", 1}, {"x", 1}})},
      {{2, {1}, {}, {{"b", "b"}, {"x", "x"}}, {}, 1}, returns({{"b", 2}, {"x", 2}})},
      {{3, {1}, {}, {{"c", "c"}}, {}, 2}, returns({{"c", 3}})},
      {{4, {1}, {}, {{"d", "d"}}}, returns({{"d", 4}})},
  }));
  EXPECT_EQ(ints_of(result.context), (Ints{{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"x", 2}}));
  EXPECT_EQ(
      ints_by_id(result.node_outputs),
      (std::map<std::uint64_t, Ints>{
          {1, {{"a", 1}, {"x", 1}}}, {2, {{"b", 2}, {"x", 2}}}, {3, {{"c", 3}}}, {4, {{"d", 4}}}}));
  EXPECT_EQ(ints_by_id(result.branch_outputs),
            (std::map<std::uint64_t, Ints>{{1, {{"a", 1}, {"b", 2}, {"x", 2}}}, {2, {{"c", 3}}}}));
}

TEST_P(EngineModeTest, EveryRunStartsFromAnEmptyContext) {
  const Body increment = [](const Context& in) {
    const auto found = in.find("x");
    return Context{{"x", GraphData(found == in.end() ? Int{1} : std::get<Int>(found->second) + 1)}};
  };
  const Dag dag = dag_of({
      {{1, {}, {{"x", "x"}}, {{"x", "x"}}}, increment},
      {{2, {1}, {{"x", "x"}}, {{"x", "x"}}}, increment},
      {{3, {1}, {}, {{"x", "y"}}}, increment},
  });
  for (int round = 0; round < 2; ++round)
    EXPECT_EQ(ints_of(run(dag).context), (Ints{{"x", 2}, {"y", 1}}));
}

// Objects travel through workers as the same object, and once the run's
// state is gone every count taken on the way has been given back.
TEST_P(EngineModeTest, ObjectsKeepIdentityAndCountsBalance) {
  FakeObject object;
  {
    const PyObjectHandle source = object.handle();
    const Body pass = [](const Context& in) { return in; };
    const Dag dag = dag_of({
        {{1, {}, {}, {{"o", "o"}}},
         [source](const Context&) {
           return Context{{"o", GraphData(source)}};
         }},
        {{2, {1}, {{"o", "v"}}, {{"v", "o2"}}}, pass},
        {{3, {1}, {{"o", "v"}}, {{"v", "o3"}}}, pass},
        {{4, {1}, {{"o", "v"}}, {{"v", "o4"}}}, pass},
        {{5, {2, 3, 4}, {{"o2", "v"}}, {{"v", "last"}}}, pass},
    });
    const long baseline = object.count;
    {
      const ExecutionResult result = run(dag);
      for (const char* name : {"o", "o2", "o3", "o4", "last"})
        EXPECT_EQ(std::get<PyObjectHandle>(result.context.at(name)).get(), &object) << name;
      EXPECT_GT(object.count, baseline);
    }
    EXPECT_EQ(object.count, baseline);
  }
  EXPECT_EQ(object.count, 0);
  EXPECT_FALSE(object.over_released);
}

// A run that keeps per-node records holds every value produced until it
// ends; a run that hands back only its context lets go of a value as soon as
// a later node overwrites it.
TEST_P(EngineModeTest, OverwrittenValuesLiveOnlyAsLongAsTheirRecords) {
  FakeObject first;
  FakeObject second;
  const PyObjectHandle first_source = first.handle();
  const PyObjectHandle second_source = second.handle();
  long first_count_seen_last = -1;
  const Dag dag = dag_of({
      {{1, {}, {}, {{"o", "v"}}},
       [&](const Context&) {
         return Context{{"o", GraphData(first_source)}};
       }},
      {{2, {1}, {}, {{"o", "v"}}},
       [&](const Context&) {
         return Context{{"o", GraphData(second_source)}};
       }},
      {{3, {2}},
       [&](const Context&) {
         first_count_seen_last = first.count;
         return Context{};
       }},
  });

  const Context context = dag.execute(GetParam().parallel, GetParam().max_threads);
  EXPECT_EQ(std::get<PyObjectHandle>(context.at("v")).get(), &second);
  EXPECT_EQ(first_count_seen_last, 1);  // only the test's own handle is left

  run(dag);
  EXPECT_GT(first_count_seen_last, 1);  // still in node 1's record
  EXPECT_EQ(first.count, 1);
}

// In sequential runs and single-node levels the node runs on the calling
// thread, so what it throws ends the run at once, unchanged.
TEST_P(EngineModeTest, FailureOnTheCallingThreadPropagatesUnchanged) {
  for (Failure failure : {Failure::kStdException, Failure::kForeignException, Failure::kRunStop}) {
    const auto payload = std::make_shared<int>(7);
    std::atomic<bool> later_ran{false};
    const Dag dag = dag_of({
        {{1}},
        {{2, {1}}, [&](const Context&) -> Context { fail(failure, payload); }},
        {{3, {2}}, [&](const Context&) { return later_ran = true, Context{}; }},
    });
    try {
      run(dag);
      ADD_FAILURE() << "run did not fail";
    } catch (const Panic&) {
      ADD_FAILURE() << "failure turned into a panic";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(failure, Failure::kStdException);
      EXPECT_STREQ(error.what(), "node failed");
    } catch (const Thrown&) {
      EXPECT_EQ(failure, Failure::kForeignException);
    } catch (const node::RunStop& stop) {
      EXPECT_EQ(failure, Failure::kRunStop);
      EXPECT_EQ(stop.payload().get(), payload.get());
    }
    EXPECT_FALSE(later_ran);
  }
}

// Records when each node of one level starts and ends, and holds the nodes of
// one expected wave together until all of them have arrived.
class WaveProbe {
 public:
  WaveProbe(const std::vector<std::size_t>& waves) {
    for (std::size_t wave = 0; wave < waves.size(); ++wave)
      for (std::size_t k = 0; k < waves[wave]; ++k) wave_of_.push_back(wave);
    wave_sizes_ = waves;
    arrived_.assign(waves.size(), 0);
    starts_.assign(wave_of_.size(), 0);
    ends_.assign(wave_of_.size(), 0);
  }

  Context visit(std::size_t node, const Context& inputs) {
    const std::size_t wave = wave_of_[node];
    std::unique_lock lock(mutex_);
    starts_[node] = ++clock_;
    max_running_ = std::max(max_running_, ++running_);
    ++arrived_[wave];
    changed_.notify_all();
    if (!changed_.wait_for(lock, 10s, [&] { return arrived_[wave] == wave_sizes_[wave]; }))
      ++timed_out_;
    lock.unlock();
    std::this_thread::sleep_for(20ms);  // lets an early starter of the next wave show up
    lock.lock();
    --running_;
    ends_[node] = ++clock_;
    if (std::this_thread::get_id() == caller_) ++on_caller_;
    return Context{{"out" + std::to_string(node), GraphData(Int{1})},
                   {"saw" + std::to_string(node), GraphData(Int(inputs.size()))}};
  }

  std::vector<std::size_t> wave_of_, wave_sizes_, arrived_;
  std::vector<long> starts_, ends_;
  long clock_ = 0, running_ = 0, max_running_ = 0;
  int timed_out_ = 0, on_caller_ = 0;
  std::thread::id caller_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable changed_;
};

struct WaveCase {
  const char* name;
  std::optional<std::uint64_t> max_threads;
  std::vector<std::size_t> waves;
  friend void PrintTo(const WaveCase& c, std::ostream* out) { *out << c.name; }
};

class WaveTest : public ::testing::TestWithParam<WaveCase> {};

TEST_P(WaveTest, LevelRunsInWavesOfMaxThreads) {
  const WaveCase& c = GetParam();
  WaveProbe probe(c.waves);
  const std::size_t count = probe.wave_of_.size();
  // A root, then one level whose nodes would see any output of a peer.
  std::vector<Step> steps{{{100}}};
  for (std::size_t i = 0; i < count; ++i) {
    const std::string out = "out" + std::to_string(i), saw = "saw" + std::to_string(i);
    Step& step = steps.emplace_back(Step{{i, {100}, {}, {{out, out}, {saw, saw}}}});
    for (std::size_t j = 0; j < count; ++j)
      step.fields.inputs.push_back({"out" + std::to_string(j), "o"});
    step.body = [&probe, i](const Context& in) { return probe.visit(i, in); };
  }
  const Ints context = ints_of(dag_of(std::move(steps)).execute(true, c.max_threads));

  EXPECT_EQ(probe.timed_out_, 0) << "a wave did not run all its nodes at once";
  EXPECT_EQ(probe.on_caller_, 0);
  const std::size_t widest = *std::max_element(c.waves.begin(), c.waves.end());
  EXPECT_EQ(probe.max_running_, static_cast<long>(widest));
  for (std::size_t i = 0; i < count; ++i) {
    EXPECT_EQ(context.at("saw" + std::to_string(i)), 0) << "node " << i << " saw a peer";
    EXPECT_EQ(context.at("out" + std::to_string(i)), 1);
    for (std::size_t j = 0; j < count; ++j) {
      if (probe.wave_of_[j] < probe.wave_of_[i]) {
        EXPECT_LT(probe.ends_[j], probe.starts_[i]) << "node " << i << " started before " << j;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, WaveTest,
                         ::testing::Values(WaveCase{"TwoOfFive", 2, {2, 2, 1}},
                                           WaveCase{"ZeroCountsAsOne", 0, {1, 1, 1}},
                                           WaveCase{"One", 1, {1, 1, 1}},
                                           WaveCase{"AbsentMeansWholeLevel", std::nullopt, {5}},
                                           WaveCase{"LargerThanLevel", 8, {5}},
                                           WaveCase{"ThreeOfSeven", 3, {3, 3, 1}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EngineThreadTest, OnlyMultiNodeLevelsUseWorkers) {
  // 1 -> {2, 3} -> 4 -> 5: the middle level runs on workers, the rest inline.
  for (const std::optional<std::uint64_t> max_threads :
       {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{1}}) {
    std::mutex mutex;
    std::map<NodeId, std::thread::id> ran_on;
    const auto record = [&](NodeId id) {
      return [&, id](const Context&) {
        std::lock_guard lock(mutex);
        ran_on[id] = std::this_thread::get_id();
        return Context{};
      };
    };
    dag_of({{{1}, record(1)},
            {{2, {1}}, record(2)},
            {{3, {1}}, record(3)},
            {{4, {2, 3}}, record(4)},
            {{5, {4}}, record(5)}})
        .execute(true, max_threads);
    const auto caller = std::this_thread::get_id();
    EXPECT_EQ(ran_on.at(1), caller);
    EXPECT_NE(ran_on.at(2), caller);
    EXPECT_NE(ran_on.at(3), caller);
    EXPECT_EQ(ran_on.at(4), caller);
    EXPECT_EQ(ran_on.at(5), caller);
  }
}

std::string failure_name(const ::testing::TestParamInfo<Failure>& info) {
  switch (info.param) {
    case Failure::kStdException:
      return "StdException";
    case Failure::kForeignException:
      return "ForeignException";
    case Failure::kRunStop:
      return "RunStop";
  }
  return "Unknown";
}

class WorkerFailureTest : public ::testing::TestWithParam<Failure> {};

// Level [slow, failing, slow | late] with max_threads 3, then a node after it:
// the run stops before anything else starts. A failure ends it once the
// first chunk has run to its end; a stop at once, the slow nodes finishing
// in the background, their outputs dropped.
TEST_P(WorkerFailureTest, RunStopsBeforeAnythingElseStarts) {
  FakeObject object;
  const auto payload = std::make_shared<int>(7);
  std::atomic<int> finished{0};
  std::atomic<bool> later_ran{false};
  {
    const PyObjectHandle source = object.handle();
    const Body slow = [&](const Context& in) {
      std::this_thread::sleep_for(30ms);
      ++finished;
      return in;
    };
    const Body later = [&](const Context&) { return later_ran = true, Context{}; };
    const Dag dag = dag_of({
        {{1, {}, {}, {{"o", "o"}}},
         [source](const Context&) {
           return Context{{"o", GraphData(source)}};
         }},
        {{2, {1}, {{"o", "o"}}, {{"o", "o2"}}}, slow},
        {{3, {1}}, [&](const Context&) -> Context { fail(GetParam(), payload); }},
        {{4, {1}, {{"o", "o"}}, {{"o", "o4"}}}, slow},
        {{5, {1}}, later},
        {{6, {2}}, later},
    });
    const long baseline = object.count;
    try {
      dag.execute(true, 3);
      ADD_FAILURE() << "run did not fail";
    } catch (const Panic& panic) {
      EXPECT_NE(GetParam(), Failure::kRunStop);
      EXPECT_STREQ(panic.what(), "a scoped thread panicked");
    } catch (const node::RunStop& stop) {
      EXPECT_EQ(GetParam(), Failure::kRunStop);
      EXPECT_EQ(stop.payload().get(), payload.get());
    }
    // The level's snapshot holds a count until its last task has returned.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (object.count != baseline && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    // A stop may come before the chunk's last node has started, which then
    // never does.
    if (GetParam() == Failure::kRunStop) {
      EXPECT_LE(finished, 2);
    } else {
      EXPECT_EQ(finished, 2);
    }
    EXPECT_FALSE(later_ran);
    EXPECT_EQ(object.count, baseline);
  }
  EXPECT_EQ(object.count, 0);
}

INSTANTIATE_TEST_SUITE_P(Failures, WorkerFailureTest,
                         ::testing::Values(Failure::kStdException, Failure::kForeignException,
                                           Failure::kRunStop),
                         failure_name);

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CORVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CORVANE_SANITIZED 1
#endif
#endif

#ifndef CORVANE_SANITIZED
// Lowers the address-space limit just above what the process uses, so no
// worker stack can be mapped, and exits 0 only when the run reports it.
[[noreturn]] void run_with_no_room_for_threads() {
  const Dag dag(testing::make_nodes({{1}, {2}}));
  std::ifstream status("/proc/self/status");
  std::string line;
  unsigned long vm_kib = 0;
  while (std::getline(status, line))
    if (line.rfind("VmSize:", 0) == 0) vm_kib = std::stoul(line.substr(7));
  rlimit limit{};
  getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = (vm_kib + 1024) * 1024;
  if (vm_kib == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
  try {
    dag.execute(true, std::nullopt);
  } catch (const Panic& panic) {
    const std::string message = panic.what();
    const std::string prefix = "failed to spawn thread: ";
    std::fprintf(stderr, "panic: %s\n", message.c_str());
    std::_Exit(message.rfind(prefix, 0) == 0 && message.size() > prefix.size() ? 0 : 3);
  }
  std::_Exit(4);
}
#endif

TEST(EngineSpawnTest, RefusedThreadEndsTheRunWithAPanic) {
#ifdef CORVANE_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes reserve far more address space than the limit allows";
#else
  rlimit stack{};
  getrlimit(RLIMIT_STACK, &stack);
  if (stack.rlim_cur != RLIM_INFINITY && stack.rlim_cur < (4ul << 20))
    GTEST_SKIP() << "thread stacks are too small to exceed the lowered limit";
  // A fresh process: a forked one could reuse stacks cached by earlier tests.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_with_no_room_for_threads(), ::testing::ExitedWithCode(0),
              "failed to spawn thread");
#endif
}

}  // namespace
}  // namespace corvane::dag
