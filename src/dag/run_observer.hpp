#pragma once

#include "graph_data/graph_data.hpp"
#include "node/node.hpp"

namespace corvane::dag {

using graph_data::Context;
using node::Node;

// Watches one run node by node. The engine calls it on the thread that runs
// the node, right around the node's function, so an observer sees every node
// of a parallel level from that level's worker threads, possibly at the same
// time: it must be safe for that. `node` is always an element of the run's
// `Dag::nodes()`, and each node of a run is seen at most once.
class RunObserver {
 public:
  // Before the node's function. May throw `node::RunStop` to end the run;
  // the node then does not run and nothing else is reported for it.
  virtual void node_started(const Node& node) = 0;

  // After the node's function has returned its outputs. May throw
  // `node::RunStop` to end the run; the outputs are then dropped.
  virtual void node_finished(const Node& node) = 0;

  // Instead of `node_finished` when the node's function ended by an
  // exception, which then goes on ending the run.
  virtual void node_abandoned(const Node& node) noexcept = 0;

 protected:
  ~RunObserver() = default;
};

// `call()` (which runs `node`'s function and returns its outputs), reported
// to `observer` when there is one; with none it costs one test of a pointer.
template <class Call>
Context call_observed(const Node& node, RunObserver* observer, Call&& call) {
  if (observer == nullptr) return call();
  observer->node_started(node);
  Context outputs;
  try {
    outputs = call();
  } catch (...) {
    observer->node_abandoned(node);
    throw;
  }
  observer->node_finished(node);
  return outputs;
}

// `node.execute(context)`, reported to `observer` when there is one.
inline Context execute_observed(const Node& node, const Context& context, RunObserver* observer) {
  return call_observed(node, observer, [&] { return node.execute(context); });
}

}  // namespace corvane::dag
