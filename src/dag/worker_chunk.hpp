#pragma once

#include <cstddef>
#include <functional>

#include "dag/worker_pool.hpp"

namespace corvane::dag {

// Runs task(0) ... task(size - 1) as one wave on `pool` and returns once all
// of them have ended. A task that throws ends without harming the others;
// afterwards the first `node::RunStop` in index order is rethrown, or else
// `Panic` "a scoped thread panicked" is thrown. A refused thread ends the
// chunk with the pool's `Panic` "failed to spawn thread: ...".
void run_chunk(WorkerPool& pool, std::size_t size, const std::function<void(std::size_t)>& task);

}  // namespace corvane::dag
