#pragma once

#include "dag/dag.hpp"

namespace corvane::dag {

// Runs `dag` with `Schedule::dataflow`: each node starts as soon as every
// node it depends on has finished (failed or not), and sees the run's inputs
// and then its ancestors' outputs merged in execution order, never a node
// that is not its ancestor. The result holds the inputs and then every
// node's outputs merged in execution order, so it does not depend on timing.
//
// A run that starts from one node runs it on the calling thread, and each
// node then goes on on the thread of the node it depends on while that
// node has no other dependent (a chain stays on one thread). Where a node
// has several dependents ready, each begins on a worker of the shared pool
// and the thread waits for them; a join begins on the thread that finished
// its last dependency. `max_threads` caps how many node functions run at
// once (0 counts as 1). Nodes that `options.plan` leaves out are passed
// through without running.
//
// A `node::RunStop` from a node or the observer, or any other failure, keeps
// every node not yet begun from starting; the nodes running finish, and the
// run then throws as a level-parallel run does. A stop that the pool hands
// to a waiting caller (an interrupt) ends the run at once; the nodes running
// then finish in the background, on state they share with the run.
ExecutionResult run_dataflow(const Dag& dag, RunOptions options, bool keep_records);

}  // namespace corvane::dag
