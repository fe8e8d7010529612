#include "dag/worker_pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "dag/panic.hpp"
#include "fake_host.hpp"
#include "node/run_stop.hpp"

namespace corvane::dag {
namespace {

using namespace std::chrono_literals;
using testing::thread_events;

WorkerPool::Settings settings(std::chrono::milliseconds idle_timeout, std::size_t kept = 1,
                              std::chrono::microseconds stall_check = 100us) {
  return {idle_timeout, kept, stall_check, 30us, 30us};
}

// A host whose lock is always free, or always busy (a worker queueing for
// it), and whose check-in throws once `interrupt` is set.
std::atomic<bool> lock_busy{false};
std::atomic<bool> interrupt{false};
std::atomic<bool> host_closing{false};
// The one thread whose check-in `interrupt` is for.
std::thread::id interrupted_caller;
// When set, the host's lock: busy while a task holds it.
std::mutex* host_lock = nullptr;

void install_lock_host() {
  static constexpr graph_data::HostHooks hooks{
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      [] { return std::size_t{lock_busy ? 1u : 0u}; },
      []() -> std::chrono::nanoseconds {
        if (std::this_thread::get_id() == interrupted_caller && interrupt.exchange(false))
          throw node::RunStop(nullptr);
        if (host_lock == nullptr) return {};
        if (!host_lock->try_lock()) return 1s;
        host_lock->unlock();
        return {};
      },
      [] { return host_closing.load(); }};
  graph_data::install_host_hooks(hooks);
}

// Holds every arriving task until `expected` of them are inside at once.
class Meeting {
 public:
  explicit Meeting(std::size_t expected) : expected_(expected) {}

  bool arrive() {
    std::unique_lock lock(mutex_);
    threads_.insert(std::this_thread::get_id());
    if (++arrived_ == expected_) met_.notify_all();
    return met_.wait_for(lock, 20s, [&] { return arrived_ >= expected_; });
  }

  std::size_t threads() {
    std::lock_guard lock(mutex_);
    return threads_.size();
  }

 private:
  std::size_t expected_;
  std::size_t arrived_ = 0;
  std::set<std::thread::id> threads_;
  std::mutex mutex_;
  std::condition_variable met_;
};

// Runs `body` and fails the whole test binary if it has not returned in
// time: a deadlocked pool would otherwise hang the suite.
template <class Body>
void finishes_in_time(Body body) {
  auto done = std::async(std::launch::async, body);
  if (done.wait_for(60s) != std::future_status::ready) {
    ADD_FAILURE() << "did not finish: deadlock or starvation";
    std::_Exit(1);
  }
  done.get();
}

void install_fake_host() {
  testing::FakeObject::install();
}

class WaveWidthTest : public ::testing::TestWithParam<std::size_t> {};

// The second wave finds the first one's workers idle: every one of them is
// called back (each called worker wakes the next ones), and none is added.
// Idle workers wait longer than a meeting, so that none can come back on
// its own.
TEST_P(WaveWidthTest, TasksThatBlockEachGetAWorkerOfTheirOwn) {
  install_fake_host();
  WorkerPool pool(settings(60s));
  const std::size_t width = GetParam();
  for (int wave = 0; wave < 2; ++wave) {
    Meeting meeting(width);
    std::atomic<int> missed{0};
    pool.run_wave(width, [&](std::size_t) { missed += !meeting.arrive(); });
    EXPECT_EQ(missed, 0);
    EXPECT_EQ(meeting.threads(), width);
    EXPECT_EQ(pool.thread_count(), width);
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, WaveWidthTest, ::testing::Values(1, 3, 17, 64, 200));

// Quick tasks run one after another on the first worker; no other thread
// is woken for them, and the next wave finds the same worker again.
TEST(WorkerPoolTest, QuickTasksShareOneReusedWorker) {
  install_fake_host();
  WorkerPool pool(settings(5000ms, 1, std::chrono::microseconds(20s)));
  std::set<std::thread::id> ran_on;
  for (int wave = 0; wave < 3; ++wave)
    pool.run_wave(50, [&](std::size_t) { ran_on.insert(std::this_thread::get_id()); });
  EXPECT_EQ(ran_on.size(), 1u);
  EXPECT_EQ(ran_on.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(pool.thread_count(), 1u);
}

TEST(WorkerPoolTest, IdleWorkersBeyondTheKeptOnesLeave) {
  install_fake_host();
  const long exits_before = thread_events.exiting;
  {
    WorkerPool pool(settings(20ms, 2));
    Meeting meeting(6);
    pool.run_wave(6, [&](std::size_t) { meeting.arrive(); });
    EXPECT_EQ(pool.thread_count(), 6u);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (pool.thread_count() > 2 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(5ms);
    EXPECT_EQ(pool.thread_count(), 2u);
    // The kept workers still serve the next wave.
    Meeting again(2);
    pool.run_wave(2, [&](std::size_t) { again.arrive(); });
    EXPECT_EQ(pool.thread_count(), 2u);
  }
  EXPECT_GE(thread_events.exiting - exits_before, 6);
}

// Runs waves of `width` tasks nested two levels below the first, from
// `callers` threads at once; each task first calls what `per_wave` made for
// its wave. Returns how many innermost tasks ran, once all have finished.
using Visit = std::function<void()>;
int run_nested_waves(WorkerPool& pool, int callers, std::size_t width,
                     const std::function<Visit()>& per_wave) {
  std::atomic<int> leaves{0};
  std::function<void(int)> nest = [&](int depth) {
    const Visit visit = per_wave();
    pool.run_wave(width, [&](std::size_t) {
      visit();
      if (depth > 0) {
        nest(depth - 1);
      } else {
        ++leaves;
      }
    });
  };
  finishes_in_time([&] {
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i) threads.emplace_back(nest, 2);
    for (std::thread& thread : threads) thread.join();
  });
  return leaves;
}

// Every task waits for an inner wave of blocking tasks, from several
// threads at once and a few levels deep: waiting workers are not counted
// on to run the inner tasks, so the pool grows instead of deadlocking.
TEST(WorkerPoolTest, NestedWavesFromManyThreadsFinish) {
  install_fake_host();
  WorkerPool pool(settings(5000ms));
  std::atomic<int> missed{0};
  const int leaves = run_nested_waves(pool, 6, 2, [&missed] {
    auto meeting = std::make_shared<Meeting>(2);
    return [&missed, meeting] { missed += !meeting->arrive(); };
  });
  EXPECT_EQ(leaves, 6 * 8);
  EXPECT_EQ(missed, 0);
}

// A pool that can no longer grow skips the tasks not yet begun, waits for
// the begun one and reports the refusal.
TEST(WorkerPoolTest, RefusedGrowthSkipsUnbegunTasksAndPanics) {
  install_fake_host();
  // Stall checks far apart, so that the first comes only once the pool has
  // been closed, however late the worker starts on a loaded machine.
  WorkerPool pool(settings(5000ms, 1, 50ms));
  std::vector<std::atomic<bool>> ran(3);
  std::atomic<bool> first_finished{false};
  try {
    pool.run_wave(3, [&](std::size_t index) {
      ran[index] = true;
      if (index == 0) {
        pool.close();
        std::this_thread::sleep_for(200ms);  // the caller finds the wave stalled meanwhile
        first_finished = true;
      }
    });
    ADD_FAILURE() << "the wave did not fail";
  } catch (const Panic& panic) {
    EXPECT_STREQ(panic.what(), "failed to spawn thread: Operation canceled");
  }
  EXPECT_TRUE(first_finished);
  EXPECT_FALSE(ran[1]);
  EXPECT_FALSE(ran[2]);
}

// Workers read the hooks after every task and while lingering; a host may
// install them meanwhile (under ThreadSanitizer, any unordered access shows).
TEST(WorkerPoolTest, HooksMayBeInstalledWhileWorkersRun) {
  WorkerPool pool(settings(5000ms));
  std::atomic<bool> stop{false};
  std::thread caller([&] {
    while (!stop) pool.run_wave(4, [](std::size_t) {});
  });
  for (int i = 0; i < 2000; ++i) install_fake_host();
  stop = true;
  caller.join();
}

TEST(WorkerPoolTest, HostHearsOfEveryWorkerAndOfEveryWait) {
  install_fake_host();
  const long started_before = thread_events.started, waits_before = thread_events.waits;
  {
    WorkerPool pool(settings(5000ms));
    Meeting meeting(3);
    pool.run_wave(3, [&](std::size_t) { meeting.arrive(); });
  }
  EXPECT_GE(thread_events.started - started_before, 3);
  // The caller before waiting, and each worker before going idle.
  EXPECT_GE(thread_events.waits - waits_before, 4);
}

// While the host's lock is free, blocked tasks each get a worker; while
// threads queue for it, no worker is added, however long tasks block.
TEST(LockAwareGrowthTest, WorkersAreAddedOnlyWhileTheHostsLockIsFree) {
  install_lock_host();
  {
    WorkerPool pool(settings(5000ms));
    Meeting meeting(8);
    std::atomic<int> missed{0};
    pool.run_wave(8, [&](std::size_t) { missed += !meeting.arrive(); });
    EXPECT_EQ(missed, 0);
  }
  lock_busy = true;
  {
    WorkerPool pool(settings(5000ms));
    std::set<std::thread::id> ran_on;
    pool.run_wave(8, [&](std::size_t) {
      ran_on.insert(std::this_thread::get_id());
      std::this_thread::sleep_for(5ms);
    });
    EXPECT_EQ(ran_on.size(), 1u);
  }
  lock_busy = false;
  install_fake_host();
}

// Tasks that each block for a moment and then hold the host's lock for a
// moment (as Python code that sleeps briefly) leave the lock free now and
// then, but soon finish no faster with more workers: the wave stops
// growing.
TEST(LockAwareGrowthTest, WavesStopGrowingOnceMoreWorkersDoNotHelp) {
  install_lock_host();
  std::mutex lock;
  host_lock = &lock;
  WorkerPool pool(settings(5000ms));
  pool.run_wave(1000, [&](std::size_t) {
    std::this_thread::sleep_for(100us);
    const std::lock_guard hold(lock);
    std::this_thread::sleep_for(20us);
  });
  host_lock = nullptr;
  EXPECT_LE(pool.thread_count(), 32u);
  install_fake_host();
}

// A pool at its ceiling starts no more threads: waves queue, and callers
// run tasks of their own waves, so nested waves never wait on each other
// for good.
TEST(LockAwareGrowthTest, NestedWavesFinishUnderTheCeiling) {
  install_lock_host();
  WorkerPool::Settings limited = settings(5000ms);
  limited.max_threads = 2;
  WorkerPool pool(limited);
  std::atomic<std::size_t> most_threads{0};
  const int leaves = run_nested_waves(pool, 3, 3, [&] {
    return [&] {
      most_threads = std::max(most_threads.load(), pool.thread_count());
      std::this_thread::sleep_for(1ms);
    };
  });
  EXPECT_EQ(leaves, 3 * 27);
  EXPECT_LE(most_threads, 2u);
  install_fake_host();
}

// A stop from a task or from the host's check-in reaches the caller while
// the task still blocks: tasks not begun never begin, and the running one
// finishes in the background on what the wave keeps for it. What it begins
// afterwards, work or a nested wave, ends at once with the stop. The host's
// lock is busy, so that one worker takes the tasks in order.
class EarlyEndTest : public ::testing::TestWithParam<bool> {};

TEST_P(EarlyEndTest, ReachesTheCallerAtOnceAndKeepsTheTaskAlive) {
  install_lock_host();
  lock_busy = true;
  interrupted_caller = std::this_thread::get_id();
  const bool from_host = GetParam();
  WorkerPool pool(settings(5000ms));
  auto kept = std::make_shared<int>(0);
  const std::weak_ptr<int> watch = kept;
  std::atomic<int> begun{0};
  std::atomic<int> stops_after{0};
  std::atomic<bool> release{false};
  const auto stops = [&stops_after](auto&& begin) {
    try {
      begin();
    } catch (const node::RunStop&) {
      ++stops_after;
    }
  };
  try {
    pool.run_wave(8, [&, from_host, kept = std::move(kept)](std::size_t) {
      if (begun++ > 0) return;
      if (from_host) {
        interrupt = true;
      } else {
        pool.stop_running_wave(std::make_exception_ptr(node::RunStop(nullptr)));
      }
      while (!release) std::this_thread::sleep_for(1ms);
      stops([&] { pool.throw_if_running_wave_stopped(); });
      stops([&] { pool.run_wave(2, [&](std::size_t) { ++begun; }); });
    });
    ADD_FAILURE() << "the wave did not end early";
  } catch (const node::RunStop&) {
  }
  lock_busy = false;
  EXPECT_FALSE(watch.expired());
  release = true;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!watch.expired() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(watch.expired());
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(begun, 1);
  EXPECT_EQ(stops_after, 2);
  pool.throw_if_running_wave_stopped();  // outside any wave: nothing to stop
  install_fake_host();
}

INSTANTIATE_TEST_SUITE_P(Sources, EarlyEndTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "HostCheckIn" : "Task"; });

TEST(LockAwareGrowthTest, AClosingHostRunsWavesOnTheCaller) {
  install_lock_host();
  host_closing = true;
  WorkerPool pool(settings(5000ms));
  std::set<std::thread::id> ran_on;
  pool.run_wave(4, [&](std::size_t) { ran_on.insert(std::this_thread::get_id()); });
  host_closing = false;
  EXPECT_EQ(ran_on, std::set<std::thread::id>{std::this_thread::get_id()});
  EXPECT_EQ(pool.thread_count(), 0u);
  install_fake_host();
}

#if !defined(__SANITIZE_THREAD__) && !defined(__has_feature)
#define CORVANE_FORK_TESTABLE 1
#elif !defined(__SANITIZE_THREAD__) && defined(__has_feature)
#if !__has_feature(thread_sanitizer)
#define CORVANE_FORK_TESTABLE 1
#endif
#endif

TEST(WorkerPoolTest, ChildProcessGetsAWorkingPool) {
#ifndef CORVANE_FORK_TESTABLE
  GTEST_SKIP() << "ThreadSanitizer does not let a forked child of a threaded process start threads";
#else
  install_fake_host();
  Meeting warm_up(2);
  WorkerPool::shared().run_wave(2, [&](std::size_t) { warm_up.arrive(); });
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);
    Meeting meeting(3);
    std::atomic<int> missed{0};
    WorkerPool::shared().run_wave(3, [&](std::size_t) { missed += !meeting.arrive(); });
    std::_Exit(missed == 0 && WorkerPool::shared().thread_count() == 3 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
#endif
}

}  // namespace
}  // namespace corvane::dag
