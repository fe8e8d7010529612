#pragma once

#include <cstddef>
#include <functional>

#include "dag/worker_pool.hpp"

namespace corvane::dag {

// Runs task(0) ... task(size - 1) as one wave on `pool` and returns once all
// of them have ended. A task that throws `node::RunStop` ends the chunk with
// it: tasks not begun are skipped; those running end in the background (the
// wave keeps `task` until then) or, for a stop that awaits them, are waited
// for, and then the first such stop in task order is thrown. A task that
// throws anything else ends without harming the others, and afterwards
// `Panic` "a scoped thread panicked" is thrown. A refused thread ends the
// chunk with the pool's `Panic` "failed to spawn thread: ...".
void run_chunk(WorkerPool& pool, std::size_t size, std::function<void(std::size_t)> task);

}  // namespace corvane::dag
