#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace corvane::dag {

// A wave of worker threads, one per task, all joined before the wave ends,
// also when it ends by an exception.
class WorkerChunk {
 public:
  explicit WorkerChunk(std::size_t capacity);
  ~WorkerChunk();
  WorkerChunk(const WorkerChunk&) = delete;
  WorkerChunk& operator=(const WorkerChunk&) = delete;

  // Runs `task` on a new thread. When the system refuses the thread, waits
  // for the workers already started and throws `Panic` "failed to spawn
  // thread: {system error}". At most `capacity` tasks per chunk.
  void spawn(std::function<void()> task);

  // Waits for every worker. Then, if a worker failed: rethrows the first
  // `node::RunStop` in spawn order, else throws `Panic` "a scoped thread
  // panicked".
  void join();

 private:
  void join_started() noexcept;

  std::vector<std::thread> threads_;
  // One slot per worker, written only by that worker and read after join.
  std::vector<std::exception_ptr> failures_;
};

}  // namespace corvane::dag
