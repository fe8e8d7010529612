#include "dag/worker_chunk.hpp"

#include <cstdio>
#include <system_error>

#include "dag/panic.hpp"
#include "node/run_stop.hpp"

namespace corvane::dag {

namespace {

// A failed worker's own message is shown only here: the run itself ends with
// a fixed text.
void report_worker_failure(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const node::RunStop&) {
    // A deliberate stop, not a failure worth a message.
  } catch (const std::exception& error) {
    std::fprintf(stderr, "corvane: worker thread failed: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "corvane: worker thread failed with an unknown exception\n");
  }
}

bool is_run_stop(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const node::RunStop&) {
    return true;
  } catch (...) {
    return false;
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
    threads_.emplace_back([task = std::move(task), &failure]() noexcept {
      try {
        task();
      } catch (...) {
        failure = std::current_exception();
      }
    });
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
    report_worker_failure(failure);
    failed = true;
  }
  for (const std::exception_ptr& failure : failures_)
    if (failure && is_run_stop(failure)) std::rethrow_exception(failure);
  if (failed) throw Panic("a scoped thread panicked");
}

void WorkerChunk::join_started() noexcept {
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
}

}  // namespace corvane::dag
