#include "dag/worker_chunk.hpp"

#include <cstdio>
#include <system_error>

#include "dag/panic.hpp"
#include "node/run_stop.hpp"

namespace corvane::dag {

namespace {

// A failed worker's own message is shown only here: the run itself ends with
// a fixed text. A deliberate stop is not a failure and gets no message.
void run_reporting_failure(const std::function<void()>& task, std::exception_ptr& failure) {
  try {
    task();
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

}  // namespace

WorkerChunk::WorkerChunk(std::size_t capacity) : failures_(capacity) {
  threads_.reserve(capacity);
}

WorkerChunk::~WorkerChunk() {
  join_started();
}

void WorkerChunk::spawn(std::function<void()> task) {
  std::exception_ptr& failure = failures_.at(threads_.size());
  try {
    threads_.emplace_back(
        [task = std::move(task), &failure]() noexcept { run_reporting_failure(task, failure); });
  } catch (const std::system_error& refused) {
    join_started();
    throw Panic("failed to spawn thread: " + refused.code().message());
  }
}

void WorkerChunk::join() {
  join_started();
  bool failed = false;
  for (const std::exception_ptr& failure : failures_) {
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

void WorkerChunk::join_started() noexcept {
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
}

}  // namespace corvane::dag
