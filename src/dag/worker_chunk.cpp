#include "dag/worker_chunk.hpp"

#include <cxxabi.h>

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
                           std::size_t index, std::exception_ptr& failure) {
  try {
    task(index);
  } catch (const abi::__forced_unwind&) {
    // The host is ending this thread (its interpreter is going away): the
    // unwinding must go on, and the chunk counts the task as failed.
    failure = std::make_exception_ptr(Panic("worker thread ended by its host"));
    throw;
  } catch (const node::RunStop&) {
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

void throw_if_any_failed(const std::vector<std::exception_ptr>& failures) {
  for (const std::exception_ptr& failure : failures)
    if (failure) throw Panic("a scoped thread panicked");
}

}  // namespace

void run_chunk(WorkerPool& pool, std::size_t size, std::function<void(std::size_t)> task) {
  // One slot per task, written only by the worker that runs it and read
  // after the wave has ended; owned with the task by the wave, whose
  // abandoned tasks may still write theirs after this returns.
  auto failures = std::make_shared<std::vector<std::exception_ptr>>(size);
  pool.run_wave(size, [&pool, failures, task = std::move(task)](std::size_t index) {
    run_reporting_failure(pool, task, index, (*failures)[index]);
  });
  throw_if_any_failed(*failures);
}

}  // namespace corvane::dag
