#include "dag/worker_chunk.hpp"

#include <cxxabi.h>

#include <cstdio>
#include <exception>
#include <vector>

#include "dag/panic.hpp"
#include "node/run_stop.hpp"

namespace corvane::dag {

namespace {

// A failed worker's own message is shown only here: the run itself ends with
// a fixed text. A deliberate stop is not a failure and gets no message.
void run_reporting_failure(const std::function<void(std::size_t)>& task, std::size_t index,
                           std::exception_ptr& failure) {
  try {
    task(index);
  } catch (const abi::__forced_unwind&) {
    // The host is ending this thread (its interpreter is going away): the
    // unwinding must go on, and the chunk counts the task as failed.
    failure = std::make_exception_ptr(Panic("worker thread ended by its host"));
    throw;
  } catch (const node::RunStop&) {
    failure = std::current_exception();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "corvane: worker thread failed: %s\n", error.what());
    failure = std::current_exception();
  } catch (...) {
    std::fprintf(stderr, "corvane: worker thread failed with an unknown exception\n");
    failure = std::current_exception();
  }
}

void rethrow_first_failure(const std::vector<std::exception_ptr>& failures) {
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

}  // namespace

void run_chunk(WorkerPool& pool, std::size_t size, const std::function<void(std::size_t)>& task) {
  // One slot per task, written only by the worker that runs it and read
  // after the wave has ended.
  std::vector<std::exception_ptr> failures(size);
  pool.run_wave(size,
                [&](std::size_t index) { run_reporting_failure(task, index, failures[index]); });
  rethrow_first_failure(failures);
}

}  // namespace corvane::dag
