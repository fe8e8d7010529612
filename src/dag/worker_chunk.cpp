#include "dag/worker_chunk.hpp"

#include <cxxabi.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "dag/panic.hpp"
#include "node/run_stop.hpp"

namespace corvane::dag {

namespace {

// A failed worker's own message is shown only here: the run itself ends with
// a fixed text. A deliberate stop is not a failure and gets no message: it
// ends the wave at once.
void run_reporting_failure(WorkerPool& pool, const std::function<void(std::size_t)>& task,
                           std::size_t index, std::exception_ptr& failure,
                           std::atomic<bool>& stopping) {
  // After a stop that awaits the running tasks, the others are skipped.
  if (stopping.load(std::memory_order_acquire)) return;
  try {
    task(index);
  } catch (const abi::__forced_unwind&) {
    // The host is ending this thread (its interpreter is going away): the
    // unwinding must go on, and the chunk counts the task as failed.
    failure = std::make_exception_ptr(Panic("worker thread ended by its host"));
    throw;
  } catch (const node::RunStop& stop) {
    if (stop.running() == node::RunStop::Running::awaited) {
      failure = std::current_exception();
      stopping.store(true, std::memory_order_release);
      return;
    }
    // Kept by the wave alone: its caller throws a copy of its own.
    pool.stop_running_wave(std::current_exception());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "corvane: worker thread failed: %s\n", error.what());
    failure = std::current_exception();
  } catch (...) {
    std::fprintf(stderr, "corvane: worker thread failed with an unknown exception\n");
    failure = std::current_exception();
  }
}

// The first stop in task order, else a panic for any other failure.
void throw_if_any_failed(const std::vector<std::exception_ptr>& failures) {
  bool failed = false;
  for (const std::exception_ptr& failure : failures) {
    if (!failure) continue;
    failed = true;
    try {
      std::rethrow_exception(failure);
    } catch (const node::RunStop&) {
      throw;
    } catch (...) {
      // Any other failure ends the run with the panic below.
    }
  }
  if (failed) throw Panic("a scoped thread panicked");
}

// What the tasks of one chunk share, owned with them by the wave: abandoned
// tasks may still write after the chunk has returned.
struct ChunkState {
  explicit ChunkState(std::size_t size) : failures(size) {}
  // One slot per task, written only by the worker that runs it.
  std::vector<std::exception_ptr> failures;
  std::atomic<bool> stopping{false};
};

}  // namespace

void run_chunk(WorkerPool& pool, std::size_t size, std::function<void(std::size_t)> task) {
  // One slot per task, written only by the worker that runs it and read
  // after the wave has ended; owned with the task by the wave, whose
  // abandoned tasks may still write theirs after this returns.
  auto state = std::make_shared<ChunkState>(size);
  pool.run_wave(size, [&pool, state, task = std::move(task)](std::size_t index) {
    run_reporting_failure(pool, task, index, state->failures[index], state->stopping);
  });
  throw_if_any_failed(state->failures);
}

}  // namespace corvane::dag
