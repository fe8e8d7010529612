#include "dag/worker_pool.hpp"

#include <cxxabi.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "dag/panic.hpp"
#include "graph_data/host_hooks.hpp"
#include "node/run_stop.hpp"

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

// The owner that waves started on this thread keep alive (see `KeepAlive`).
thread_local std::shared_ptr<const void> wave_owner;

std::size_t max_threads_from_environment(std::size_t otherwise) {
  const char* text = std::getenv("CORVANE_MAX_WORKERS");
  if (text == nullptr) return otherwise;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0' && value > 0 ? value : otherwise;
}

// Whether more workers would make a wave go faster, judged by the rate at
// which its tasks finish. Tasks that each block for a moment and then hold
// the host's lock for a moment leave the lock free now and then, however
// many workers queue for it; once a growth no longer raised the rate
// markedly, more workers would only queue too. A wave none of whose tasks
// finished over two stall checks (one before any has finished) is blocked,
// and more workers help it.
class Throughput {
 public:
  Throughput(std::size_t finished, std::size_t claimed)
      : first_(finished), mark_(finished), last_seen_(finished), last_claimed_(claimed) {}

  // Called at every stall check with the wave's finished and claimed
  // tasks: by how many times the workers on the wave should grow if the
  // host's lock lies free, or 0 for not at all.
  std::size_t growth(std::size_t finished, std::size_t claimed) {
    const std::size_t claimed_before = std::exchange(last_claimed_, claimed);
    stalled_checks_ = finished == last_seen_ ? stalled_checks_ + 1 : 0;
    last_seen_ = finished;
    // Until a first task has finished there is no blip to mistake for a
    // stall. A worker whose task began before the last check and that
    // neither holds the free lock nor queues for it is blocked, and so,
    // most likely, are the others: the wave grows eightfold, and a wide
    // wave of sleepers has a worker each after four growths instead of
    // eight. A worker that has only just begun may still be on its way to
    // the lock, so without one that began earlier the wave only doubles.
    if (finished == first_) return claimed_before > finished ? kBlockedGrowth : 2;
    if (stalled_checks_ >= 2) return 2;
    const double elapsed = std::chrono::duration<double>(clock::now() - since_).count();
    if (elapsed < kWindow) return 0;
    const double rate = static_cast<double>(finished - mark_) / elapsed;
    if (rate < rate_ * kMarkedRise) return 0;
    rate_ = rate;
    return 2;
  }

  void grown(std::size_t finished) {
    since_ = clock::now();
    mark_ = finished;
    stalled_checks_ = 0;
  }

 private:
  using clock = std::chrono::steady_clock;
  // The shortest time over which a rate is measured, in seconds.
  static constexpr double kWindow = 1e-3;
  static constexpr double kMarkedRise = 1.25;
  static constexpr std::size_t kBlockedGrowth = 8;

  clock::time_point since_ = clock::now();
  std::size_t first_;
  std::size_t mark_;
  std::size_t last_seen_;
  std::size_t last_claimed_;
  std::size_t stalled_checks_ = 0;
  // The best rate, in tasks per second, that a growth brought.
  double rate_ = 0;
};

// The reason a caller throws when it leaves its wave early: a stop of its
// own with the same payload. The wave keeps its own copy for the tasks that
// go on, and one exception object is never released by two threads that do
// not meet at the pool's mutex. Called with the mutex held.
std::exception_ptr caller_copy(const std::exception_ptr& reason) {
  try {
    std::rethrow_exception(reason);
  } catch (const node::RunStop& stop) {
    return std::make_exception_ptr(node::RunStop(stop.payload()));
  } catch (...) {
    return reason;
  }
}

bool host_closing() {
  auto* closing = graph_data::host_hooks().closing;
  return closing != nullptr && closing();
}

}  // namespace

struct WorkerPool::Wave : std::enable_shared_from_this<Wave> {
  Wave(std::function<void(std::size_t)> task, std::size_t count, std::shared_ptr<Wave> parent,
       std::shared_ptr<const void> owner)
      : owner(std::move(owner)), parent(std::move(parent)), task(std::move(task)), count(count) {}

  // The reason this wave, or the one whose task started it, or that one's,
  // ended early; null while none did. Under the pool's mutex.
  std::exception_ptr stop_reason() const {
    for (const Wave* wave = this; wave != nullptr; wave = wave->parent.get())
      if (wave->stop) return wave->stop;
    return nullptr;
  }
  bool unclaimed() const { return claimed < count; }

  // Declared before the task, so that it outlives what the task owns.
  std::shared_ptr<const void> owner;
  std::shared_ptr<Wave> parent;
  std::function<void(std::size_t)> task;
  std::size_t count;
  std::size_t claimed = 0;
  std::size_t finished = 0;
  std::exception_ptr stop;
  // Set once `stop` is, readable without the mutex.
  std::atomic<bool> stopped{false};
  // Set when the caller has left early with tasks still running: the wave
  // then owns itself until the last of them has returned.
  std::shared_ptr<Wave> orphan;
  std::condition_variable done;
  // Set with the last `finished`, readable without the mutex.
  std::atomic<bool> ended{false};
};

thread_local WorkerPool::Wave* WorkerPool::running_ = nullptr;

WorkerPool::KeepAlive::KeepAlive(std::shared_ptr<const void> owner) noexcept
    : previous_(std::exchange(wave_owner, std::move(owner))) {}

WorkerPool::KeepAlive::~KeepAlive() {
  wave_owner = std::move(previous_);
}

WorkerPool::Settings WorkerPool::default_settings() {
  using namespace std::chrono_literals;
  Settings settings{2000ms, std::max(1u, std::thread::hardware_concurrency()), 100us, 200us, 30us};
  settings.max_threads = max_threads_from_environment(settings.max_threads);
  return settings;
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

std::size_t WorkerPool::max_threads() const {
  std::lock_guard lock(mutex_);
  return settings_.max_threads;
}

void WorkerPool::set_max_threads(std::size_t max_threads) {
  std::lock_guard lock(mutex_);
  settings_.max_threads = std::max<std::size_t>(max_threads, 1);
}

void WorkerPool::close() {
  std::unique_lock lock(mutex_);
  closed_ = true;
  wake_.notify_all();
  left_.wait(lock, [&] { return threads_ == busy_; });
}

void WorkerPool::run_wave(std::size_t count, std::function<void(std::size_t)> task) {
  if (count == 0) return;
  std::shared_ptr<Wave> parent = running_ != nullptr ? running_->shared_from_this() : nullptr;
  const auto wave = std::make_shared<Wave>(std::move(task), count, std::move(parent), wave_owner);
  if (host_closing()) {
    // Workers could not take the host's lock back: the caller, which holds
    // it, runs the whole wave.
    std::unique_lock lock(mutex_);
    while (wave->unclaimed() && !wave->stop_reason()) run_on_caller(*wave, lock);
    if (std::exception_ptr reason = wave->stop_reason()) std::rethrow_exception(reason);
    return;
  }
  call_host_hook(&HostHooks::before_wait);
  std::unique_lock lock(mutex_);
  waiting_.push_back(wave.get());
  has_waiting_.store(true, std::memory_order_relaxed);
  try {
    summon(1, lock);
    await(*wave, lock);
  } catch (const abi::__forced_unwind&) {
    // The host is ending this thread: the tasks still running keep the
    // wave, and none begins any more.
    relock(lock);
    leave_early(*wave, std::make_exception_ptr(Panic("the waiting thread was ended by its host")));
    throw;
  } catch (const std::system_error& refused) {
    // What has begun runs to its end; what has not never will.
    unlist(*wave);
    wave->count = wave->claimed;
    wave->done.wait(lock, [&] { return wave->finished == wave->count; });
    throw Panic("failed to spawn thread: " + refused.code().message());
  }
}

void WorkerPool::stop_running_wave(std::exception_ptr reason) {
  std::lock_guard lock(mutex_);
  if (running_ != nullptr) abandon(*running_, std::move(reason));
}

void WorkerPool::throw_if_running_wave_stopped() {
  bool stopped = false;
  for (const Wave* wave = running_; wave != nullptr && !stopped; wave = wave->parent.get())
    stopped = wave->stopped.load(std::memory_order_acquire);
  if (!stopped) return;
  std::lock_guard lock(mutex_);
  const std::exception_ptr reason = running_->stop_reason();
  try {
    std::rethrow_exception(reason);
  } catch (const node::RunStop&) {
    std::rethrow_exception(caller_copy(reason));
  } catch (...) {
    // Any other reason (a refused thread) leaves the task to run as it is.
  }
}

void WorkerPool::abandon(Wave& wave, std::exception_ptr reason) {
  if (!wave.stop) {
    wave.stop = std::move(reason);
    wave.stopped.store(true, std::memory_order_release);
  }
  unlist(wave);
  wave.done.notify_all();
}

void WorkerPool::leave_early(Wave& wave, std::exception_ptr reason) {
  abandon(wave, std::move(reason));
  if (wave.finished < wave.claimed) wave.orphan = wave.shared_from_this();
}

void WorkerPool::unlist(Wave& wave) {
  const auto found = std::find(waiting_.begin(), waiting_.end(), &wave);
  if (found != waiting_.end()) waiting_.erase(found);
  has_waiting_.store(!waiting_.empty(), std::memory_order_relaxed);
}

void WorkerPool::await(Wave& wave, std::unique_lock<std::mutex>& lock) {
  using clock = std::chrono::steady_clock;
  // Quick tasks often end within microseconds: looking for that briefly
  // saves the caller a sleep and a wake-up per wave.
  if (settings_.caller_spin.count() > 0) {
    lock.unlock();
    spin_until([&] { return wave.ended.load(std::memory_order_acquire); }, settings_.caller_spin);
    lock.lock();
  }
  auto next_check_in = clock::now() + settings_.check_in_interval;
  std::size_t finished_before = wave.finished;
  Throughput throughput(wave.finished, wave.claimed);
  for (;;) {
    if (std::exception_ptr reason = wave.stop_reason()) {
      leave_early(wave, reason);
      std::rethrow_exception(caller_copy(std::exchange(reason, nullptr)));
    }
    if (wave.finished == wave.count) return;
    if (wave.unclaimed()) {
      wave.done.wait_for(lock, settings_.stall_check);
      if (wave.unclaimed() && !wave.stop_reason()) {
        const std::size_t growth = throughput.growth(wave.finished, wave.claimed);
        if (growth > 0 && wants_worker(wave, finished_before, next_check_in, lock)) {
          grow(wave, growth, lock);
          throughput.grown(wave.finished);
        }
      }
      finished_before = wave.finished;
    } else {
      wave.done.wait_until(lock, next_check_in);
    }
    if (clock::now() >= next_check_in && wave.finished < wave.count) {
      check_in(wave, lock);
      next_check_in = clock::now() + settings_.check_in_interval;
    }
  }
}

std::chrono::nanoseconds WorkerPool::check_in(Wave& wave, std::unique_lock<std::mutex>& lock) {
  auto* hook = graph_data::host_hooks().check_in;
  if (hook == nullptr) return {};
  lock.unlock();
  try {
    const std::chrono::nanoseconds waited = hook();
    lock.lock();
    return waited;
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    relock(lock);
    leave_early(wave, std::current_exception());
    std::rethrow_exception(caller_copy(wave.stop));
  }
}

bool WorkerPool::wants_worker(Wave& wave, std::size_t finished_before,
                              std::chrono::steady_clock::time_point& next_check_in,
                              std::unique_lock<std::mutex>& lock) {
  const HostHooks& hooks = graph_data::host_hooks();
  if (hooks.check_in == nullptr) return wave.finished == finished_before;
  if (hooks.lock_queue != nullptr && hooks.lock_queue() > 0) return false;
  const bool free = check_in(wave, lock) < settings_.lock_busy_after;
  next_check_in = std::chrono::steady_clock::now() + settings_.check_in_interval;
  return free;
}

void WorkerPool::grow(Wave& wave, std::size_t growth, std::unique_lock<std::mutex>& lock) {
  // Workers may have claimed the rest while the host was asked.
  if (!wave.unclaimed() || wave.stop_reason()) return;
  // Multiply the workers on the wave, counting those already on their way.
  const std::size_t working = std::max<std::size_t>(wave.claimed - wave.finished, 1);
  if (summon(std::min(wave.count - wave.claimed, working * (growth - 1)), lock) > 0) return;
  // The pool is at its most workers, and each of them busy: the caller takes
  // a task of its own wave, which keeps nested waves from waiting on each
  // other for good.
  run_on_caller(wave, lock);
  lock.unlock();
  call_host_hook(&HostHooks::before_wait);
  lock.lock();
}

void WorkerPool::run_on_caller(Wave& wave, std::unique_lock<std::mutex>& lock) {
  const std::size_t index = wave.claimed++;
  if (!wave.unclaimed()) unlist(wave);
  lock.unlock();
  run_task(wave, index, false, lock);
}

std::size_t WorkerPool::summon(std::size_t wanted, std::unique_lock<std::mutex>& lock) {
  // Workers neither busy nor asleep, and sleepers already called, look for
  // work before they sleep again.
  const std::size_t coming = threads_ - retiring_ - busy_ - idle_ + calls_;
  if (wanted <= coming) return coming;
  wanted -= coming;
  const std::size_t woken = std::min(wanted, idle_ - calls_);
  calls_ += woken;
  unsent_wake_ups_ += woken;
  send_wake_ups(take_wake_ups());
  std::size_t started = woken;
  for (; started < wanted && threads_ < settings_.max_threads; ++started) {
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
  return coming + started;
}

std::size_t WorkerPool::take_wake_ups() {
  // Each sender wakes two, so that the called workers wake in a binary
  // tree: calling a hundred costs the caller two wake-ups, not a hundred,
  // and none of the called waits for the pool's mutex behind the caller.
  const std::size_t taken = std::min<std::size_t>(unsent_wake_ups_, 2);
  unsent_wake_ups_ -= taken;
  return taken;
}

void WorkerPool::send_wake_ups(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) wake_.notify_one();
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
      if (std::exception_ptr reason = wave.stop_reason()) {
        // Started from a wave that ended early: none of its tasks begins.
        abandon(wave, reason);
        continue;
      }
      const std::size_t index = wave.claimed++;
      if (!wave.unclaimed()) unlist(wave);
      ++busy_;
      lock.unlock();
      run_task(wave, index, true, lock);
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
    if (threads_ - retiring_ <= settings_.max_threads) {
      ++idle_;
      const bool called =
          wake_.wait_for(lock, settings_.idle_timeout, [&] { return calls_ > 0 || closed_; });
      --idle_;
      if (calls_ > 0) {
        --calls_;
        // Calls taken by workers that woke on their own need no wake-up.
        unsent_wake_ups_ = std::min(unsent_wake_ups_, calls_);
        if (const std::size_t wake_ups = take_wake_ups()) {
          lock.unlock();
          send_wake_ups(wake_ups);
          lock.lock();
        }
        continue;
      }
      // Decided under the lock and counted at once, so that workers timing
      // out together never take the pool below its kept workers.
      if (!called && threads_ - retiring_ <= settings_.kept_threads) continue;
    }
    leave.retiring = true;
    ++retiring_;
    break;
  }
  lock.unlock();
  call_host_hook(&HostHooks::worker_exiting);
}

void WorkerPool::run_task(Wave& wave, std::size_t index, bool on_worker,
                          std::unique_lock<std::mutex>& lock) {
  struct Finish {
    WorkerPool& pool;
    Wave& wave;
    bool on_worker;
    Wave* outer;
    std::unique_lock<std::mutex>& lock;
    ~Finish() {
      running_ = outer;
      relock(lock);
      pool.busy_ -= on_worker;
      if (++wave.finished == wave.count) {
        wave.ended.store(true, std::memory_order_release);
        wave.done.notify_all();
      }
      if (wave.orphan && wave.finished == wave.claimed) {
        // The last task of a wave whose caller has left: what the task owns
        // may call into the host as it goes, so it goes without the mutex.
        std::shared_ptr<Wave> last = std::move(wave.orphan);
        lock.unlock();
        last.reset();
        lock.lock();
      }
    }
  } finish{*this, wave, on_worker, std::exchange(running_, &wave), lock};
  wave.task(index);
  // With nothing left to claim now, whatever host lock the task kept goes
  // back before this worker queues for the pool's mutex with the other
  // finishers of a wide wave, and before its caller learns that it has
  // finished.
  if (on_worker && !has_waiting_.load(std::memory_order_relaxed))
    call_host_hook(&HostHooks::before_wait);
}

}  // namespace corvane::dag
