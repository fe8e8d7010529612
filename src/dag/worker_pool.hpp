#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace corvane::dag {

// Worker threads kept between runs and shared by every run of the process.
//
// A caller hands over a wave of tasks and waits until all of them have
// returned. Workers are woken or started only as the wave needs them: one to
// begin with, and more whenever the wave makes no progress for a short while
// (doubling the number working on it each time), so that tasks that finish
// quickly run one after another on one worker while tasks that block each get
// a worker of their own. A waiting caller is never the one that runs tasks,
// so a task may itself run a wave (nested runs) without starving it.
//
// Workers beyond `kept_threads` leave after `idle_timeout` without work.
class WorkerPool {
 public:
  struct Settings {
    std::chrono::milliseconds idle_timeout;
    std::size_t kept_threads;
    // How long a wave may go without a task finishing before more workers
    // are put on it.
    std::chrono::microseconds stall_check;
    // How long a worker that ran out of tasks keeps looking for the next
    // wave before it sleeps: a caller running wave after wave then finds it
    // awake instead of paying a wake-up per wave. While the workers of a
    // wide wave finish one by one, those lingering also keep processors
    // from going idle in between, so that each thread the host's lock is
    // handed to next wakes sooner.
    std::chrono::microseconds linger;
    // How long a caller looks for its wave to end before it sleeps.
    std::chrono::microseconds caller_spin;
  };

  // Two seconds of idleness, one kept worker per processor core, lingering
  // for 200 microseconds.
  static Settings default_settings();

  explicit WorkerPool(Settings settings);
  // Waits until every worker has left. No wave may be running.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The pool of the process, created on first use with the default
  // settings and never destroyed (workers may still be inside a task when
  // the process exits). A child process made by fork() gets a new, empty
  // pool: the parent's workers do not exist there.
  static WorkerPool& shared();

  // Calls task(0) ... task(count - 1) on workers, at most `count` at once,
  // and returns once every call has returned. `task` must not throw. When
  // the system refuses a needed thread, the tasks not yet begun are
  // skipped, the begun ones are waited for, and `Panic` "failed to spawn
  // thread: {system error}" is thrown.
  void run_wave(std::size_t count, const std::function<void(std::size_t)>& task);

  // Workers alive now, busy or idle.
  std::size_t thread_count() const;

  // Makes idle workers leave now and busy ones once their task returns, and
  // waits for the idle ones. Later waves that need a worker fail as if the
  // system had refused a thread. For a host that is going away.
  void close();

 private:
  struct Wave {
    Wave(const std::function<void(std::size_t)>& task, std::size_t count)
        : task(&task), count(count) {}
    const std::function<void(std::size_t)>* task;
    std::size_t count;
    std::size_t claimed = 0;
    std::size_t finished = 0;
    std::condition_variable done;
    // Set with the last `finished`, readable without the mutex.
    std::atomic<bool> ended{false};
  };

  void work();
  void run_claimed(Wave& wave, std::size_t index, std::unique_lock<std::mutex>& lock);
  void await(Wave& wave, std::unique_lock<std::mutex>& lock);
  // Makes sure that `wanted` workers are on their way to the waiting waves,
  // waking idle ones first and starting new ones for the rest.
  void summon(std::size_t wanted, std::unique_lock<std::mutex>& lock);

  Settings settings_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable left_;
  // Waves with tasks not yet claimed, oldest first.
  std::deque<Wave*> waiting_;
  // Whether `waiting_` holds a wave, readable without the mutex by workers
  // that linger or have just finished a task.
  std::atomic<bool> has_waiting_{false};
  std::size_t threads_ = 0;
  // Workers that have decided to leave but have not left yet: no longer
  // counted on for work, nor as kept workers.
  std::size_t retiring_ = 0;
  // Workers looking for the next wave before they sleep.
  std::size_t lingering_ = 0;
  std::size_t idle_ = 0;
  // Workers inside a task.
  std::size_t busy_ = 0;
  // Idle workers told to come back to work that have not woken yet.
  std::size_t calls_ = 0;
  // Workers started that have not reached their loop yet.
  std::size_t starting_ = 0;
  bool closed_ = false;
};

}  // namespace corvane::dag
