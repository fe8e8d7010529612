#include "python_bindings/run_observation.hpp"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "python_bindings/conversion.hpp"
#include "python_bindings/host.hpp"
#include "python_bindings/interpreter_lock.hpp"
#include "python_bindings/run_callbacks.hpp"

namespace corvane::python_bindings {

namespace {

OwnedRef new_id(node::NodeId id) {
  return OwnedRef::new_reference(PyLong_FromUnsignedLongLong(id));
}

OwnedRef new_float(double value) {
  return OwnedRef::new_reference(PyFloat_FromDouble(value));
}

OwnedRef or_none(const OwnedRef& object) {
  return OwnedRef::add_reference(BorrowedRef(object ? object.get() : Py_None));
}

}  // namespace

double clock_seconds() noexcept {
  // libstdc++'s steady clock reads CLOCK_MONOTONIC, as `time.perf_counter()`.
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

RunObservation::RunObservation(const dag::Dag& dag, BorrowedRef dag_object, OwnedRef hooks,
                               FailureAction failures)
    : dag_(dag),
      dag_object_(dag_object.get()),
      hooks_(std::move(hooks)),
      node_start_hooks_(hooks_ && has_hook(hooks_.borrow(), Hook::kNodeStart)),
      node_finish_hooks_(hooks_ && has_hook(hooks_.borrow(), Hook::kNodeFinish)),
      run_id_(hooks_ ? next_run_id() : 0),
      calling_thread_(PyThread_get_thread_ident()),
      records_(dag.nodes().size()) {
  for (NodeRecord& record : records_) record.action = failures;
}

void RunObservation::run_starting() {
  if (hooks_) {
    PyObject* arguments[] = {dag_object_};
    call_hooks(hooks_.borrow(), Hook::kStart, run_id_, arguments, 1);
  }
  start_ = clock_seconds();
}

void RunObservation::run_ended(bool completed) {
  end_ = clock_seconds();
  ended_.store(true, std::memory_order_relaxed);
  if (!hooks_) return;
  // A failed run may have left its Python exception set; it goes on
  // travelling once the hooks are done.
  CaughtException pending = CaughtException::fetch();
  {
    OwnedRef seconds = new_float(end_ - start_);
    PyObject* arguments[] = {dag_object_, seconds.get()};
    call_hooks(hooks_.borrow(), Hook::kFinish, run_id_, arguments, 2, completed);
  }
  std::move(pending).restore();
}

RunObservation::NodeRecord& RunObservation::record_of(const dag::Node& node) noexcept {
  return records_[static_cast<std::size_t>(&node - dag_.nodes().data())];
}

void RunObservation::node_started(const dag::Node& node) {
  NodeRecord& record = record_of(node);
  if (node_start_hooks_ && !ended_.load(std::memory_order_relaxed)) {
    NodeCallLock lock;
    OwnedRef id = new_id(node.id);
    PyObject* arguments[] = {dag_object_, id.get()};
    call_hooks(hooks_.borrow(), Hook::kNodeStart, run_id_, arguments, 2);
  }
  record.thread = PyThread_get_thread_ident();
  record.replaced = exchange_failure_sink(&record);
  record.start = clock_seconds();
}

void RunObservation::node_finished(const dag::Node& node) {
  NodeRecord& record = record_of(node);
  record.end = clock_seconds();
  record.ran = true;
  exchange_failure_sink(record.replaced);
  if (node_finish_hooks_ && !ended_.load(std::memory_order_relaxed)) {
    NodeCallLock lock;
    OwnedRef id = new_id(node.id);
    OwnedRef seconds = new_float(record.end - record.start);
    OwnedRef failure = or_none(record.failure);
    PyObject* arguments[] = {dag_object_, id.get(), seconds.get(), failure.get()};
    call_hooks(hooks_.borrow(), Hook::kNodeFinish, run_id_, arguments, 4);
  }
}

void RunObservation::node_abandoned(const dag::Node& node) noexcept {
  exchange_failure_sink(record_of(node).replaced);
}

template <class Value>
OwnedRef RunObservation::per_node(Value&& value_of) const {
  OwnedRef dict = OwnedRef::new_reference(PyDict_New());
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const NodeRecord& record = records_[i];
    if (!record.ran) continue;
    OwnedRef value = value_of(dag_.nodes()[i], record);
    if (!value) continue;
    require_status(PyDict_SetItem(dict.get(), new_id(dag_.nodes()[i].id).get(), value.get()));
  }
  return dict;
}

OwnedRef RunObservation::first_failure() const {
  std::vector<std::size_t> failed;
  for (std::size_t i = 0; i < records_.size(); ++i)
    if (records_[i].failure) failed.push_back(i);
  if (failed.empty()) return {};
  std::sort(failed.begin(), failed.end(), [&](std::size_t left, std::size_t right) {
    return records_[left].failed_at < records_[right].failed_at;
  });
  const OwnedRef& first = records_[failed.front()].failure;
  if (failed.size() > 1) {
    std::string others = "other nodes of its level that failed:";
    for (std::size_t i = 1; i < failed.size(); ++i) {
      const dag::Node& node = dag_.nodes()[failed[i]];
      others += (i == 1 ? " node " : ", node ") + std::to_string(node.id);
      if (node.label) others += " '" + *node.label + "'";
    }
    add_note(first.get(), others);
  }
  return OwnedRef::add_reference(first.borrow());
}

OwnedRef RunObservation::failures() const {
  return per_node([](const dag::Node&, const NodeRecord& record) {
    return OwnedRef::add_reference(record.failure.borrow());
  });
}

OwnedRef RunObservation::timings() const {
  return per_node([](const dag::Node&, const NodeRecord& record) {
    OwnedRef start = new_float(record.start);
    OwnedRef end = new_float(record.end);
    return OwnedRef::new_reference(PyTuple_Pack(2, start.get(), end.get()));
  });
}

OwnedRef RunObservation::threads() const {
  return per_node([](const dag::Node&, const NodeRecord& record) {
    return OwnedRef::new_reference(PyLong_FromUnsignedLong(record.thread));
  });
}

OwnedRef RunObservation::labels() const {
  return per_node([](const dag::Node& node, const NodeRecord&) {
    return node.label ? str_from_text(*node.label) : OwnedRef::add_reference(BorrowedRef(Py_None));
  });
}

}  // namespace corvane::python_bindings
