#include "dag/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "dag/panic.hpp"
#include "graph_data/host_hooks.hpp"

namespace corvane::dag {

namespace {

using graph_data::call_host_hook;
using graph_data::HostHooks;

// The shared pool lives in static storage and is never destroyed: at exit a
// worker may still be inside a task, and in a child process after fork()
// the parent's workers, whose waits its condition variables still record,
// do not exist.
alignas(WorkerPool) unsigned char shared_storage[sizeof(WorkerPool)];

void start_shared_pool() {
  new (shared_storage) WorkerPool(WorkerPool::default_settings());
}

// Makes sure that `lock` is held when the scope ends, however it ends: also
// when the host unwinds the thread from inside a task or a hook, so that the
// pool's counts stay true and no caller waits forever.
void relock(std::unique_lock<std::mutex>& lock) {
  if (!lock.owns_lock()) lock.lock();
}

// Looks for `done` to become true for up to `limit` without sleeping,
// yielding the processor between looks: with more threads than cores, a
// spinner that kept its core would hold back the very thread it waits for.
template <class Done>
void spin_until(Done done, std::chrono::microseconds limit) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
}

}  // namespace

WorkerPool::Settings WorkerPool::default_settings() {
  using namespace std::chrono_literals;
  return {2000ms, std::max(1u, std::thread::hardware_concurrency()), 100us, 200us, 30us};
}

WorkerPool::WorkerPool(Settings settings) : settings_(settings) {}

WorkerPool::~WorkerPool() {
  close();
  std::unique_lock lock(mutex_);
  left_.wait(lock, [&] { return threads_ == 0; });
}

WorkerPool& WorkerPool::shared() {
  static const bool started = [] {
    pthread_atfork(nullptr, nullptr, &start_shared_pool);
    start_shared_pool();
    return true;
  }();
  (void)started;
  return *std::launder(reinterpret_cast<WorkerPool*>(shared_storage));
}

std::size_t WorkerPool::thread_count() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

void WorkerPool::close() {
  std::unique_lock lock(mutex_);
  closed_ = true;
  wake_.notify_all();
  left_.wait(lock, [&] { return threads_ == busy_; });
}

void WorkerPool::run_wave(std::size_t count, const std::function<void(std::size_t)>& task) {
  if (count == 0) return;
  call_host_hook(&HostHooks::before_wait);
  Wave wave(task, count);
  std::unique_lock lock(mutex_);
  waiting_.push_back(&wave);
  has_waiting_.store(true, std::memory_order_relaxed);
  try {
    summon(1, lock);
    await(wave, lock);
  } catch (const std::system_error& refused) {
    // What has begun runs to its end; what has not never will.
    if (wave.claimed < wave.count)
      waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &wave));
    has_waiting_.store(!waiting_.empty(), std::memory_order_relaxed);
    wave.count = wave.claimed;
    wave.done.wait(lock, [&] { return wave.finished == wave.count; });
    throw Panic("failed to spawn thread: " + refused.code().message());
  }
}

void WorkerPool::await(Wave& wave, std::unique_lock<std::mutex>& lock) {
  // Quick tasks often end within microseconds: looking for that briefly
  // saves the caller a sleep and a wake-up per wave.
  if (settings_.caller_spin.count() > 0) {
    lock.unlock();
    spin_until([&] { return wave.ended.load(std::memory_order_acquire); }, settings_.caller_spin);
    lock.lock();
  }
  std::size_t finished_before = wave.finished;
  while (wave.finished < wave.count) {
    if (wave.claimed == wave.count) {
      wave.done.wait(lock);
      continue;
    }
    if (wave.done.wait_for(lock, settings_.stall_check) == std::cv_status::timeout &&
        wave.claimed < wave.count && wave.finished == finished_before) {
      // Every worker on this wave is stuck in a task: put as many again on
      // it, counting those already on their way.
      const std::size_t working = std::max<std::size_t>(wave.claimed - wave.finished, 1);
      summon(std::min(wave.count - wave.claimed, working), lock);
    }
    finished_before = wave.finished;
  }
}

void WorkerPool::summon(std::size_t wanted, std::unique_lock<std::mutex>& lock) {
  // Workers neither busy nor asleep, and sleepers already called, look for
  // work before they sleep again.
  const std::size_t coming = threads_ - retiring_ - busy_ - idle_ + calls_;
  if (wanted <= coming) return;
  wanted -= coming;
  const std::size_t woken = std::min(wanted, idle_ - calls_);
  calls_ += woken;
  for (std::size_t i = 0; i < woken; ++i) wake_.notify_one();
  for (std::size_t started = woken; started < wanted; ++started) {
    if (closed_) throw std::system_error(std::make_error_code(std::errc::operation_canceled));
    ++threads_;
    ++starting_;
    lock.unlock();
    try {
      std::thread([this] { work(); }).detach();
    } catch (...) {
      lock.lock();
      --threads_;
      --starting_;
      throw;
    }
    lock.lock();
  }
}

void WorkerPool::work() {
  std::unique_lock lock(mutex_);
  --starting_;
  struct Leave {
    WorkerPool& pool;
    std::unique_lock<std::mutex>& lock;
    bool retiring = false;
    ~Leave() {
      relock(lock);
      --pool.threads_;
      pool.retiring_ -= retiring;
      pool.left_.notify_all();
    }
  } leave{*this, lock};
  lock.unlock();
  call_host_hook(&HostHooks::worker_started);
  lock.lock();

  for (;;) {
    if (!waiting_.empty()) {
      Wave& wave = *waiting_.front();
      const std::size_t index = wave.claimed++;
      if (wave.claimed == wave.count) {
        waiting_.pop_front();
        has_waiting_.store(!waiting_.empty(), std::memory_order_relaxed);
      }
      run_claimed(wave, index, lock);
      continue;
    }
    if (closed_) break;
    // Neither busy nor idle while lingering, so that a caller counts on
    // this worker instead of waking another. No more linger than there are
    // kept workers (one per core): the end of a wide wave would otherwise
    // have hundreds of them spinning, in the way of those still working.
    const bool linger = lingering_ < settings_.kept_threads;
    lingering_ += linger;
    lock.unlock();
    call_host_hook(&HostHooks::before_wait);
    if (linger)
      spin_until([&] { return has_waiting_.load(std::memory_order_relaxed); }, settings_.linger);
    lock.lock();
    lingering_ -= linger;
    if (!waiting_.empty()) continue;
    ++idle_;
    const bool called =
        wake_.wait_for(lock, settings_.idle_timeout, [&] { return calls_ > 0 || closed_; });
    --idle_;
    if (calls_ > 0) {
      --calls_;
      continue;
    }
    // Decided under the lock and counted at once, so that workers timing
    // out together never take the pool below its kept workers.
    if (!called && threads_ - retiring_ <= settings_.kept_threads) continue;
    leave.retiring = true;
    ++retiring_;
    break;
  }
  lock.unlock();
  call_host_hook(&HostHooks::worker_exiting);
}

void WorkerPool::run_claimed(Wave& wave, std::size_t index, std::unique_lock<std::mutex>& lock) {
  ++busy_;
  lock.unlock();
  struct Finish {
    WorkerPool& pool;
    Wave& wave;
    std::unique_lock<std::mutex>& lock;
    ~Finish() {
      relock(lock);
      --pool.busy_;
      if (++wave.finished == wave.count) {
        wave.ended.store(true, std::memory_order_release);
        wave.done.notify_one();
      }
    }
  } finish{*this, wave, lock};
  (*wave.task)(index);
  // With nothing left to claim now, whatever host lock the task kept goes
  // back before this worker queues for the pool's mutex with the other
  // finishers of a wide wave, and before its caller learns that it has
  // finished.
  if (!has_waiting_.load(std::memory_order_relaxed)) call_host_hook(&HostHooks::before_wait);
}

}  // namespace corvane::dag
