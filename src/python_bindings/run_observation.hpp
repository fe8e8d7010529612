#pragma once

// A run watched from Python: for every node that ran, when it started and
// ended (on the clock of `time.perf_counter()`), the thread that ran it (as
// `threading.get_ident()` gives it) and the exception its function failed
// with; and the active run callbacks, called around the run and each node.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "dag/dag.hpp"
#include "dag/run_observer.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/failure_sink.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

// Seconds on the clock of `time.perf_counter()` (CLOCK_MONOTONIC on Linux).
double clock_seconds() noexcept;

class RunObservation final : public dag::RunObserver {
 public:
  // Watches one run of `dag`, whose Python object `dag_object` outlives the
  // run. `hooks`: the active callbacks' hooks, or null. `failures` says
  // what becomes of a node's failure: printed, kept (a detailed run) or
  // raised (a strict run, which stops). Lock held.
  RunObservation(const dag::Dag& dag, BorrowedRef dag_object, OwnedRef hooks,
                 FailureAction failures);

  // Runs `run(observer)` (the engine run, which gives the lock up) between
  // the callbacks' `start` and `finish`. Lock held before and after. A
  // KeyboardInterrupt or SystemExit from `start` or `finish` ends the call,
  // unless the run itself has failed already.
  template <class Run>
  auto observe(Run&& run) -> decltype(run(static_cast<dag::RunObserver*>(nullptr))) {
    run_starting();
    decltype(run(static_cast<dag::RunObserver*>(nullptr))) result;
    try {
      result = run(this);
    } catch (...) {
      run_ended(false);
      throw;
    }
    run_ended(true);
    return result;
  }

  void node_started(const dag::Node& node) override;
  void node_finished(const dag::Node& node) override;
  void node_abandoned(const dag::Node& node) noexcept override;

  // After a strict run stopped: the failure of the node that failed first,
  // with a note listing the other nodes that failed beside it, or null when
  // no node failed (the run stopped for another reason).
  OwnedRef first_failure() const;

  // What was found, as new Python objects (lock held, after the run), for
  // the nodes that ran: {id: exception}, {id: (start, end)}, {id: thread
  // ident}, {id: label or None}.
  OwnedRef failures() const;
  OwnedRef timings() const;
  OwnedRef threads() const;
  OwnedRef labels() const;
  double start() const noexcept { return start_; }
  double end() const noexcept { return end_; }
  unsigned long calling_thread() const noexcept { return calling_thread_; }

 private:
  // One node's record: written only by the thread that runs the node, read
  // by the calling thread once the run is over.
  struct NodeRecord final : FailureSink {
    FailureAction take(BorrowedRef exception) override {
      failure = OwnedRef::add_reference(exception);
      failed_at = clock_seconds();
      return action;
    }

    FailureAction action = FailureAction::print;
    double failed_at = 0;
    bool ran = false;
    double start = 0;
    double end = 0;
    unsigned long thread = 0;
    OwnedRef failure;
    FailureSink* replaced = nullptr;
  };

  void run_starting();
  void run_ended(bool completed);
  NodeRecord& record_of(const dag::Node& node) noexcept;
  template <class Value>
  OwnedRef per_node(Value&& value_of) const;

  const dag::Dag& dag_;
  PyObject* dag_object_;
  OwnedRef hooks_;
  bool node_start_hooks_;
  bool node_finish_hooks_;
  std::uint64_t run_id_;
  unsigned long calling_thread_;
  double start_ = 0;
  double end_ = 0;
  // Set when the run has ended: nodes of a level that it left running in
  // the background call no more callbacks.
  std::atomic<bool> ended_{false};
  std::vector<NodeRecord> records_;
};

}  // namespace corvane::python_bindings
