#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace corvane::dag {

// Worker threads kept between runs and shared by every run of the process.
//
// A caller hands over a wave of tasks and waits until all of them have
// returned. Workers are woken or started only as the wave needs them: one to
// begin with, and more (eight times as many working on it while none of
// its tasks has finished and one begun before the last look is still
// blocked, else twice as many each time) only while the host's lock lies
// free, which means that the workers on the wave are blocked without it
// (sleeping, waiting on I/O), and only while that makes the wave go
// faster. Tasks that run the host's code one after
// another, and tasks that wait for its lock, get no more workers: those
// would only queue for the lock. Without a host, a wave that makes no
// progress for a short while gets more workers.
//
// The pool never has more than `max_threads` workers. A wave that needs one
// beyond them waits for a worker to come free, and its caller runs one of
// the wave's tasks itself meanwhile, so that nested waves (a task that runs
// a wave) never wait on each other for good.
//
// Workers beyond `kept_threads` leave after `idle_timeout` without work.
class WorkerPool {
 public:
  struct Settings {
    std::chrono::milliseconds idle_timeout;
    std::size_t kept_threads;
    // How often a caller whose wave has tasks not yet begun looks whether
    // more workers would help.
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
    // How often a waiting caller checks in with the host at the least (see
    // `HostHooks::check_in`): the longest an interrupt waits to be seen.
    std::chrono::microseconds check_in_interval{std::chrono::milliseconds(10)};
    // Taking the host's lock for longer than this means it was busy.
    std::chrono::microseconds lock_busy_after{20};
    std::size_t max_threads = 512;
  };

  // Two seconds of idleness, one kept worker per processor core, lingering
  // for 200 microseconds, at most `CORVANE_MAX_WORKERS` workers (from the
  // environment) or 512.
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

  // Calls task(0) ... task(count - 1), at most `count` at once, and returns
  // once every call has returned. `task` must not throw; the wave keeps it
  // (and what it owns) until its last call has returned.
  //
  // The wave ends early when a task calls `stop_running_wave`, when the
  // host's check-in throws, or when the wave that a task starting this one
  // belongs to ends early: tasks not yet begun are skipped, those running
  // go on in the background, and the reason is thrown here at once.
  //
  // When the system refuses a needed thread, the tasks not yet begun are
  // skipped, the begun ones are waited for, and `Panic` "failed to spawn
  // thread: {system error}" is thrown. When the host is closing, every task
  // runs on the calling thread.
  void run_wave(std::size_t count, std::function<void(std::size_t)> task);

  // Called from inside a task: ends its wave early with `reason` (see
  // `run_wave`). Later calls for the same wave are ignored.
  void stop_running_wave(std::exception_ptr reason);

  // Called from inside a task, where its work is about to begin (after the
  // task has waited for the host's lock, say): when its wave, or one that
  // a task starting it belongs to, was ended early by a `node::RunStop`,
  // throws a copy of that stop, so that no work begins after it. A task
  // claimed just before an interrupt, or a run started inside a node left
  // running by one, then ends at once. Otherwise returns, without taking
  // the pool's mutex.
  void throw_if_running_wave_stopped();

  // Workers alive now, busy or idle.
  std::size_t thread_count() const;

  // The most workers there may be; lowering it makes idle workers beyond it
  // leave. At least 1.
  std::size_t max_threads() const;
  void set_max_threads(std::size_t max_threads);

  // Makes idle workers leave now and busy ones once their task returns, and
  // waits for the idle ones. Later waves that need a worker fail as if the
  // system had refused a thread. For a host that is going away.
  void close();

  // While one exists on a thread, every wave started there keeps `owner`
  // alive until the wave's last task has returned: what the tasks of a
  // wave that ended early still read besides the task itself (the host's
  // objects behind the run).
  class KeepAlive {
   public:
    explicit KeepAlive(std::shared_ptr<const void> owner) noexcept;
    ~KeepAlive();
    KeepAlive(const KeepAlive&) = delete;
    KeepAlive& operator=(const KeepAlive&) = delete;

   private:
    std::shared_ptr<const void> previous_;
  };

 private:
  struct Wave;
  // The wave whose task this thread is running, if any.
  static thread_local Wave* running_;

  void work();
  // Runs one claimed task; entered with `lock` released, left with it held.
  void run_task(Wave& wave, std::size_t index, bool on_worker, std::unique_lock<std::mutex>& lock);
  // Claims the wave's next task and runs it on the calling thread.
  void run_on_caller(Wave& wave, std::unique_lock<std::mutex>& lock);
  void await(Wave& wave, std::unique_lock<std::mutex>& lock);
  // The host's check-in, made without the pool's mutex; a throw ends the
  // wave early.
  std::chrono::nanoseconds check_in(Wave& wave, std::unique_lock<std::mutex>& lock);
  // Whether another worker would help the wave now. A check-in made for it
  // moves `next_check_in`.
  bool wants_worker(Wave& wave, std::size_t finished_before,
                    std::chrono::steady_clock::time_point& next_check_in,
                    std::unique_lock<std::mutex>& lock);
  // Multiplies the workers on `wave` by `growth`, as far as its tasks not
  // yet claimed and `max_threads` allow.
  void grow(Wave& wave, std::size_t growth, std::unique_lock<std::mutex>& lock);
  // Ends `wave` early with `reason` unless it has ended already.
  void abandon(Wave& wave, std::exception_ptr reason);
  // The same for the caller that leaves it: the wave keeps itself until its
  // running tasks have returned.
  void leave_early(Wave& wave, std::exception_ptr reason);
  // Takes `wave` off the waiting list if it is there.
  void unlist(Wave& wave);
  // Makes sure that `wanted` workers are on their way to the waiting waves,
  // waking idle ones first and starting new ones for the rest, as far as
  // `max_threads` allows. Returns how many are on their way.
  std::size_t summon(std::size_t wanted, std::unique_lock<std::mutex>& lock);
  // Takes up to two of the wake-ups that called workers still need, for
  // the calling thread to send.
  std::size_t take_wake_ups();
  void send_wake_ups(std::size_t count);

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
  // Calls whose wake-up no thread has sent yet: each worker that takes a
  // call sends on a few of them, so that the caller sends only the first.
  std::size_t unsent_wake_ups_ = 0;
  // Workers started that have not reached their loop yet.
  std::size_t starting_ = 0;
  bool closed_ = false;
};

}  // namespace corvane::dag
