#include "python_bindings/py_dag.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "dag/panic.hpp"
#include "dag/worker_pool.hpp"
#include "graph_data/py_object_handle.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/conversion.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/failure_sink.hpp"
#include "python_bindings/host.hpp"
#include "python_bindings/instance.hpp"
#include "python_bindings/interpreter_lock.hpp"
#include "python_bindings/introspection.hpp"
#include "python_bindings/run_callbacks.hpp"
#include "python_bindings/run_observation.hpp"
#include "python_bindings/run_result.hpp"

namespace corvane::python_bindings {

namespace {

struct DagState {
  // Set right after allocation; emptied only when the cycle collector breaks
  // a cycle through this object.
  std::unique_ptr<const dag::Dag> dag;
};

struct PyDag {
  PyObject_HEAD DagState state;
};

// The class object, kept for the life of the process.
PyTypeObject* dag_type = nullptr;

const dag::Dag& dag_of(PyObject* self) {
  const auto& dag = state_of<PyDag>(self).dag;
  // Only an object revived by a finaliser after the collector cleared it
  // can get here without its DAG.
  if (!dag) throw_python_error(PyExc_RuntimeError, "Dag has been cleared by the garbage collector");
  return *dag;
}

int dag_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (const auto& dag = state_of<PyDag>(self).dag) {
    for (const node::Node& node : dag->nodes())
      if (int stopped = visit_node_function(node, visit, arg)) return stopped;
  }
  return 0;
}

int dag_clear(PyObject* self) {
  state_of<PyDag>(self).dag.reset();
  return 0;
}

constexpr Parameters<2> execute_parameters{"execute", {"parallel", "max_threads"}};
constexpr Parameters<2> execute_detailed_parameters{"execute_detailed",
                                                    {"parallel", "max_threads"}};

// The engine run: the lock is given up while the engine waits for workers,
// and held again however the run ends. A run started inside a node function
// reports its own failures, not into the outer node's sink.
template <class Run>
auto engine_run(Run&& run) -> decltype(run()) {
  const NoFailureSink own_failures;
  return run_engine(std::forward<Run>(run));
}

// What a run's nodes read besides the engine's own state: the Dag, through
// its Python object, and the run's observation. The workers of a level that
// an interrupt ended early may still be inside nodes after `execute` has
// raised, so the run's waves keep this until the last of them returns.
struct RunAnchor {
  explicit RunAnchor(BorrowedRef dag_object)
      : dag_object(
            graph_data::PyObjectHandle::adopt(OwnedRef::add_reference(dag_object).release())) {}
  RunAnchor(const RunAnchor&) = delete;
  RunAnchor& operator=(const RunAnchor&) = delete;
  ~RunAnchor() {
    if (!observation) return;
    // Its Python objects go with the lock held, on whatever thread is last.
    if (holds_interpreter_lock()) {
      observation.reset();
    } else {
      NodeCallLock lock;
      observation.reset();
    }
  }

  graph_data::PyObjectHandle dag_object;
  std::optional<RunObservation> observation;
};

struct RunArguments {
  bool parallel;
  std::optional<std::uint64_t> max_threads;
};

template <std::size_t Count>
RunArguments run_arguments(const Parameters<Count>& parameters, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  const auto [parallel, max_threads] = match_arguments(parameters, args, nargs, kwnames);
  return {bool_argument("parallel", parallel, false),
          optional_count_argument("max_threads", max_threads)};
}

PyObject* dag_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return entry_point(
      []() -> PyObject* { throw_python_error(PyExc_TypeError, "No constructor defined"); });
}

PyObject* dag_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&] {
    const auto [parallel, max_threads] = run_arguments(execute_parameters, args, nargs, kwnames);
    // A node function may drop the last other reference to this object.
    const auto anchor = std::make_shared<RunAnchor>(BorrowedRef(self));
    const dag::WorkerPool::KeepAlive keep_alive(anchor);
    const dag::Dag& dag = dag_of(self);
    OwnedRef hooks = active_hooks();
    if (!hooks) {
      return context_to_dict(engine_run([&] { return dag.execute(parallel, max_threads); }))
          .release();
    }
    RunObservation& observation =
        anchor->observation.emplace(dag, BorrowedRef(self), std::move(hooks), false);
    const Context context = observation.observe([&](dag::RunObserver* observer) {
      return engine_run([&] { return dag.execute(parallel, max_threads, observer); });
    });
    return context_to_dict(context).release();
  });
}

PyObject* dag_execute_detailed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return entry_point([&] {
    const auto [parallel, max_threads] =
        run_arguments(execute_detailed_parameters, args, nargs, kwnames);
    const auto anchor = std::make_shared<RunAnchor>(BorrowedRef(self));
    const dag::WorkerPool::KeepAlive keep_alive(anchor);
    const dag::Dag& dag = dag_of(self);
    RunObservation& observation =
        anchor->observation.emplace(dag, BorrowedRef(self), active_hooks(), true);
    const dag::ExecutionResult result = observation.observe([&](dag::RunObserver* observer) {
      return engine_run([&] { return dag.execute_detailed(parallel, max_threads, observer); });
    });
    return run_result(result, observation).release();
  });
}

PyObject* dag_to_mermaid(PyObject* self, PyObject* /*unused*/) {
  return entry_point([&] { return str_from_text(dag_of(self).to_mermaid()).release(); });
}

PyObject* dag_repr_markdown(PyObject* self, PyObject* /*unused*/) {
  return entry_point([&] { return mermaid_markdown(dag_of(self)).release(); });
}

PyObject* dag_nodes(PyObject* self, void* /*closure*/) {
  return entry_point([&] { return node_infos(dag_of(self)).release(); });
}

PyObject* dag_execution_order(PyObject* self, void* /*closure*/) {
  return entry_point([&] { return id_tuple(dag_of(self).execution_order()).release(); });
}

PyObject* dag_levels(PyObject* self, void* /*closure*/) {
  return entry_point([&] { return level_tuples(dag_of(self).levels()).release(); });
}

Py_ssize_t dag_length(PyObject* self) {
  try {
    return static_cast<Py_ssize_t>(dag_of(self).nodes().size());
  } catch (...) {
    set_python_error_from_current_exception();
    return -1;
  }
}

constexpr const char* dag_doc = "Python wrapper for DAG executor";

constexpr const char* execute_doc =
    "execute($self, parallel=..., max_threads=...)\n--\n\n"
    "Execute the DAG\n\n"
    "Args:\n"
    "    parallel (bool): If True, execute nodes at the same level concurrently. Default: False\n"
    "    max_threads (Optional[int]): Maximum number of threads to use per level. None = "
    "unlimited. Default: None\n\n"
    "Returns:\n"
    "    Dictionary containing the execution context";

constexpr const char* execute_detailed_doc =
    "execute_detailed($self, parallel=..., max_threads=...)\n--\n\n"
    "Execute the DAG and report what each node did\n\n"
    "Args:\n"
    "    parallel (bool): If True, execute nodes at the same level concurrently. Default: False\n"
    "    max_threads (Optional[int]): Maximum number of threads to use per level. None = "
    "unlimited. Default: None\n\n"
    "Returns:\n"
    "    RunResult: the context, every node's and branch's outputs, the nodes' failures\n"
    "    (recorded, not printed), start and end times and threads";

constexpr const char* to_mermaid_doc =
    "to_mermaid($self)\n--\n\n"
    "Get Mermaid diagram representation\n\n"
    "Returns:\n"
    "    String containing the Mermaid diagram";

constexpr const char* repr_markdown_doc =
    "_repr_markdown_($self)\n--\n\n"
    "The graph as a fenced Mermaid block, which notebooks and Markdown hosts draw;\n"
    "a short summary instead for graphs past Mermaid's default size limits.";

PyMethodDef dag_methods[] = {
    {"execute", as_method(&dag_execute), METH_FASTCALL | METH_KEYWORDS, execute_doc},
    {"execute_detailed", as_method(&dag_execute_detailed), METH_FASTCALL | METH_KEYWORDS,
     execute_detailed_doc},
    {"to_mermaid", as_method(&dag_to_mermaid), METH_NOARGS, to_mermaid_doc},
    {"_repr_markdown_", as_method(&dag_repr_markdown), METH_NOARGS, repr_markdown_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef dag_properties[] = {
    {"nodes", &dag_nodes, nullptr, "The nodes, as a tuple of NodeInfo in node-list order.",
     nullptr},
    {"execution_order", &dag_execution_order, nullptr,
     "The ids of the runnable nodes, in the order a sequential run takes them.", nullptr},
    {"levels", &dag_levels, nullptr,
     "The dependency levels, each a tuple of ids whose nodes a parallel run starts together.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot dag_slots[] = {
    {Py_tp_doc, const_cast<char*>(dag_doc)},
    {Py_tp_new, as_slot(&dag_new)},
    {Py_tp_dealloc, as_slot(&destroy_instance<PyDag>)},
    {Py_tp_traverse, as_slot(&dag_traverse)},
    {Py_tp_clear, as_slot(&dag_clear)},
    {Py_tp_methods, dag_methods},
    {Py_tp_getset, dag_properties},
    {Py_mp_length, as_slot(&dag_length)},
    {0, nullptr},
};

// Like `Graph`: not subclassable, no attribute dict, no weak references.
PyType_Spec dag_type_definition = {
    "builtins.Dag", sizeof(PyDag), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, dag_slots,
};

}  // namespace

OwnedRef create_dag_type() {
  OwnedRef type = OwnedRef::new_reference(PyType_FromSpec(&dag_type_definition));
  dag_type = reinterpret_cast<PyTypeObject*>(OwnedRef::add_reference(type.borrow()).release());
  return type;
}

OwnedRef wrap_dag(dag::Dag built) {
  try {
    OwnedRef self = allocate_instance<PyDag>(dag_type);
    state_of<PyDag>(self.get()).dag = std::make_unique<const dag::Dag>(std::move(built));
    return self;
  } catch (const PythonError&) {
    // The graph is consumed already; losing its DAG too is not something a
    // caller could recover from.
    throw dag::Panic("failed to create the Dag object: " + CaughtException::fetch().describe());
  }
}

}  // namespace corvane::python_bindings
