#include "python_bindings/py_dag.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dag/panic.hpp"
#include "dag/run_plan.hpp"
#include "dag/worker_pool.hpp"
#include "graph_data/py_object_handle.hpp"
#include "node/run_stop.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/conversion.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/failure_sink.hpp"
#include "python_bindings/graph_check.hpp"
#include "python_bindings/host.hpp"
#include "python_bindings/instance.hpp"
#include "python_bindings/interpreter_lock.hpp"
#include "python_bindings/introspection.hpp"
#include "python_bindings/node_arguments.hpp"
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

constexpr Parameters<5> execute_parameters{
    "execute", {"parallel", "max_threads", "inputs", "targets", "raise_on_failure"}, 0, 2};
constexpr Parameters<5> execute_detailed_parameters{
    "execute_detailed", {"parallel", "max_threads", "inputs", "targets", "raise_on_failure"}, 0, 2};
constexpr Parameters<2> check_parameters{"check", {"inputs", "parallel"}};
constexpr Parameters<3> run_plan_parameters{"_run_plan", {"parallel", "input_names", "targets"}, 3};

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

// The names of an iterable of str, for `argument`. A lone str is refused:
// it would be taken as its letters.
std::vector<std::string> names_argument(const char* argument, PyObject* names) {
  if (PyUnicode_Check(names)) {
    throw_argument_type_error(argument, "expected an iterable of str, got a str");
  }
  OwnedRef items =
      convert_argument(argument, [&] { return OwnedRef::new_reference(PySequence_List(names)); });
  std::vector<std::string> texts;
  texts.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.get())));
  for (Py_ssize_t index = 0; index < PyList_GET_SIZE(items.get()); ++index) {
    const BorrowedRef item(PyList_GET_ITEM(items.get(), index));
    if (!PyUnicode_Check(item.get())) {
      throw_argument_type_error(argument,
                                "expected str items, got " + std::string(type_name_of(item)));
    }
    texts.push_back(text_from_str(item));
  }
  return texts;
}

std::vector<std::string> names_of(const Context& context) {
  std::vector<std::string> names;
  names.reserve(context.size());
  for (const auto& [name, value] : context) names.push_back(name);
  return names;
}

// A run's plan for `targets`, or ValueError naming a target nothing gives.
std::unique_ptr<dag::RunPlan> plan_for(const dag::Dag& dag, dag::Schedule schedule,
                                       std::span<const std::string> input_names,
                                       std::vector<std::string> targets) {
  if (const auto unknown = dag::unknown_target(dag, input_names, targets)) {
    const std::string message =
        "unknown target '" + *unknown + "': no node writes it and it is not an input";
    throw_python_error(PyExc_ValueError, message.c_str());
  }
  return std::make_unique<dag::RunPlan>(dag, schedule, std::move(targets));
}

// Which nodes' writes a node sees in a run of this mode.
dag::Visibility visibility_of(dag::Schedule schedule) {
  switch (schedule) {
    case dag::Schedule::levels:
      return dag::Visibility::earlier_levels;
    case dag::Schedule::dataflow:
      return dag::Visibility::ancestors;
    case dag::Schedule::sequential:
      break;
  }
  return dag::Visibility::earlier_in_order;
}

// Everything a run is given, converted before it starts.
struct RunArguments {
  dag::RunOptions options;
  std::unique_ptr<dag::RunPlan> plan;
  bool raise_on_failure = false;
};

RunArguments run_arguments(const dag::Dag& dag, const Parameters<5>& parameters,
                           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [parallel, max_threads, inputs, targets, raise_on_failure] =
      match_arguments(parameters, args, nargs, kwnames);
  RunArguments run;
  run.options.schedule = schedule_argument("parallel", parallel);
  run.options.max_threads = optional_count_argument("max_threads", max_threads);
  run.raise_on_failure = bool_argument("raise_on_failure", raise_on_failure, false);
  if (inputs != nullptr && inputs != Py_None)
    run.options.inputs = context_from_mapping(BorrowedRef(inputs), "inputs");
  const std::vector<std::string> input_names = names_of(run.options.inputs);
  if (targets != nullptr && targets != Py_None) {
    run.plan = plan_for(dag, run.options.schedule, input_names, names_argument("targets", targets));
    run.options.plan = run.plan.get();
  }
  // A strict run refuses, before its first node, to read what nothing gives.
  if (run.raise_on_failure) {
    raise_for_missing_inputs(dag, input_names, visibility_of(run.options.schedule),
                             run.plan ? run.plan->runs() : std::span<const bool>{});
  }
  return run;
}

// What becomes of a failed node in a run with these arguments.
FailureAction failure_action(const RunArguments& run, bool detailed) {
  if (run.raise_on_failure) return FailureAction::stop;
  return detailed ? FailureAction::keep : FailureAction::print;
}

// Runs `run(observer)` under `observation`; a strict run that stopped for a
// failed node raises the failure of the node that failed first.
template <class Run>
auto observed_run(RunObservation& observation, bool strict, Run&& run) {
  try {
    return observation.observe(std::forward<Run>(run));
  } catch (const node::RunStop& stop) {
    // An interrupt or exit travels on as it is, strict run or not.
    const auto* raised = static_cast<const PythonStop*>(stop.payload().get());
    if (!strict || is_run_stop(reinterpret_cast<PyObject*>(
                       Py_TYPE(static_cast<PyObject*>(raised->exception.get())))))
      throw;
    OwnedRef failure = observation.first_failure();
    if (!failure) throw;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure.get())), failure.get());
    throw PythonError();
  }
}

PyObject* dag_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return entry_point(
      []() -> PyObject* { throw_python_error(PyExc_TypeError, "No constructor defined"); });
}

PyObject* dag_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&] {
    // A node function may drop the last other reference to this object.
    const auto anchor = std::make_shared<RunAnchor>(BorrowedRef(self));
    const dag::WorkerPool::KeepAlive keep_alive(anchor);
    const dag::Dag& dag = dag_of(self);
    RunArguments run = run_arguments(dag, execute_parameters, args, nargs, kwnames);
    OwnedRef hooks = active_hooks();
    if (!hooks && !run.raise_on_failure) {
      return context_to_dict(engine_run([&] { return dag.execute(std::move(run.options)); }))
          .release();
    }
    RunObservation& observation = anchor->observation.emplace(
        dag, BorrowedRef(self), std::move(hooks), failure_action(run, false));
    const Context context =
        observed_run(observation, run.raise_on_failure, [&](dag::RunObserver* observer) {
          run.options.observer = observer;
          return engine_run([&] { return dag.execute(std::move(run.options)); });
        });
    return context_to_dict(context).release();
  });
}

PyObject* dag_execute_detailed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return entry_point([&] {
    const auto anchor = std::make_shared<RunAnchor>(BorrowedRef(self));
    const dag::WorkerPool::KeepAlive keep_alive(anchor);
    const dag::Dag& dag = dag_of(self);
    RunArguments run = run_arguments(dag, execute_detailed_parameters, args, nargs, kwnames);
    RunObservation& observation = anchor->observation.emplace(
        dag, BorrowedRef(self), active_hooks(), failure_action(run, true));
    const dag::ExecutionResult result =
        observed_run(observation, run.raise_on_failure, [&](dag::RunObserver* observer) {
          run.options.observer = observer;
          return engine_run([&] { return dag.execute_detailed(std::move(run.options)); });
        });
    return run_result(result, observation).release();
  });
}

// The names a run starts with, from a mapping's keys or an iterable of str.
std::vector<std::string> input_names_argument(PyObject* inputs) {
  if (inputs == nullptr || inputs == Py_None) return {};
  OwnedRef abc = OwnedRef::new_reference(PyImport_ImportModule("collections.abc"));
  OwnedRef mapping = OwnedRef::new_reference(PyObject_GetAttrString(abc.get(), "Mapping"));
  if (require_status(PyObject_IsInstance(inputs, mapping.get())) == 1)
    return names_of(context_from_mapping(BorrowedRef(inputs), "inputs"));
  return names_argument("inputs", inputs);
}

PyObject* dag_check(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&] {
    const dag::Dag& dag = dag_of(self);
    const auto [inputs, parallel] = match_arguments(check_parameters, args, nargs, kwnames);
    const std::vector<std::string> names = input_names_argument(inputs);
    return check_problems(
               dag, names,
               visibility_of(dag::schedule_of(bool_argument("parallel", parallel, false))))
        .release();
  });
}

// The ids of the nodes a run with these input names and targets would run,
// in execution order: what the Dask export builds.
PyObject* dag_run_plan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&] {
    const dag::Dag& dag = dag_of(self);
    const auto [parallel, input_names, targets] =
        match_arguments(run_plan_parameters, args, nargs, kwnames);
    const dag::Schedule schedule = schedule_argument("parallel", parallel);
    std::vector<node::NodeId> ids;
    if (targets == Py_None) {
      ids = dag.execution_order();
    } else {
      const std::vector<std::string> inputs = names_argument("input_names", input_names);
      const auto plan = plan_for(dag, schedule, inputs, names_argument("targets", targets));
      for (dag::Position position : plan->order()) ids.push_back(dag.nodes()[position].id);
    }
    return id_tuple(ids).release();
  });
}

// Pickling goes through the package, which names the node whose function
// cannot be pickled.
PyObject* dag_reduce(PyObject* self, PyObject* /*unused*/) {
  return entry_point([&] {
    OwnedRef module = OwnedRef::new_reference(PyImport_ImportModule("corvane._pickling"));
    OwnedRef reduce = OwnedRef::new_reference(PyObject_GetAttrString(module.get(), "reduce_dag"));
    return OwnedRef::new_reference(PyObject_CallOneArg(reduce.get(), self)).release();
  });
}

// A Dag never changes, so a copy of it, shallow or deep, is the Dag itself.
PyObject* dag_copy(PyObject* self, PyObject* const* /*args*/, Py_ssize_t /*nargs*/) {
  return OwnedRef::add_reference(BorrowedRef(self)).release();
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

#define CORVANE_RUN_KEYWORDS_DOC                                                             \
  "    inputs (Optional[Mapping[str, object]]): The context the run starts from. Default: "  \
  "None\n"                                                                                   \
  "    targets (Optional[Iterable[str]]): Run only the nodes whose results can reach these " \
  "names, and return only these names. Default: None (every node, every name)\n"             \
  "    raise_on_failure (bool): If True, the first node that fails stops the run, which "    \
  "raises that node's exception. Default: False\n\n"

#define CORVANE_RUN_MODE_DOC                                                                     \
  "    parallel (bool | 'dataflow'): If True, execute nodes at the same level concurrently; if " \
  "'dataflow', start each node once the nodes it depends on have finished. Default: False\n"     \
  "    max_threads (Optional[int]): Maximum number of threads to use per level (in dataflow "    \
  "runs, nodes running at once). None = unlimited. Default: None\n"

constexpr const char* execute_doc =
    "execute($self, parallel=..., max_threads=..., *, inputs=..., targets=..., "
    "raise_on_failure=...)\n--\n\n"
    "Execute the DAG\n\n"
    "Args:\n" CORVANE_RUN_MODE_DOC CORVANE_RUN_KEYWORDS_DOC
    "Returns:\n"
    "    Dictionary containing the execution context";

constexpr const char* execute_detailed_doc =
    "execute_detailed($self, parallel=..., max_threads=..., *, inputs=..., targets=..., "
    "raise_on_failure=...)\n--\n\n"
    "Execute the DAG and report what each node did\n\n"
    "Args:\n" CORVANE_RUN_MODE_DOC CORVANE_RUN_KEYWORDS_DOC
    "Returns:\n"
    "    RunResult: the context, every node's and branch's outputs, the nodes' failures\n"
    "    (recorded, not printed), start and end times and threads";

constexpr const char* to_mermaid_doc =
    "to_mermaid($self)\n--\n\n"
    "Get Mermaid diagram representation\n\n"
    "Returns:\n"
    "    String containing the Mermaid diagram";

constexpr const char* check_doc =
    "check($self, inputs=(), parallel=False)\n--\n\n"
    "Check the graph before running it\n\n"
    "Args:\n"
    "    inputs (Iterable[str] | Mapping[str, object]): The names a run starts with\n"
    "        (a mapping's keys). Default: none\n"
    "    parallel (bool): Check for a level-parallel run. Default: False\n\n"
    "Returns:\n"
    "    list[Problem]: a \"missing input\" for every name a node reads that no node it\n"
    "    can see writes and no input gives; in parallel mode a \"race\" for every name\n"
    "    that nodes of one level write side by side. Empty when nothing is wrong.";

constexpr const char* run_plan_doc =
    "_run_plan($self, parallel, input_names, targets)\n--\n\n"
    "The ids of the nodes a run with these input names and targets (None: all)\n"
    "would run, in execution order.";

constexpr const char* repr_markdown_doc =
    "_repr_markdown_($self)\n--\n\n"
    "The graph as a fenced Mermaid block, which notebooks and Markdown hosts draw;\n"
    "a short summary instead for graphs past Mermaid's default size limits.";

PyMethodDef dag_methods[] = {
    {"execute", as_method(&dag_execute), METH_FASTCALL | METH_KEYWORDS, execute_doc},
    {"execute_detailed", as_method(&dag_execute_detailed), METH_FASTCALL | METH_KEYWORDS,
     execute_detailed_doc},
    {"to_mermaid", as_method(&dag_to_mermaid), METH_NOARGS, to_mermaid_doc},
    {"check", as_method(&dag_check), METH_FASTCALL | METH_KEYWORDS, check_doc},
    {"_run_plan", as_method(&dag_run_plan), METH_FASTCALL | METH_KEYWORDS, run_plan_doc},
    {"_repr_markdown_", as_method(&dag_repr_markdown), METH_NOARGS, repr_markdown_doc},
    {"__reduce__", as_method(&dag_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickle the Dag through corvane._pickling.reduce_dag."},
    {"__copy__", as_method(&dag_copy), METH_FASTCALL,
     "__copy__($self)\n--\n\nThe Dag itself: it never changes."},
    {"__deepcopy__", as_method(&dag_copy), METH_FASTCALL,
     "__deepcopy__($self, memo, /)\n--\n\nThe Dag itself: it never changes."},
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
    "corvane.Dag", sizeof(PyDag), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, dag_slots,
};

// One node of a pickled Dag, read back from its NodeInfo fields.
node::Node node_from_info(BorrowedRef info) {
  if (!PyTuple_Check(info.get()) || PyTuple_GET_SIZE(info.get()) != 9)
    throw_python_error(PyExc_TypeError, "expected NodeInfo records of 9 fields");
  const auto field = [&](Py_ssize_t index) { return PyTuple_GET_ITEM(info.get(), index); };
  const auto id = static_cast<node::NodeId>(*optional_count_argument("id", require(field(0))));
  NodeArguments made = node_arguments(field(2), field(3), field(4), field(8));
  node::Node node(id, std::move(made.function), optional_text_argument("label", field(1)),
                  node::NameMap(std::move(made.inputs)), node::NameMap(std::move(made.outputs)));
  node.variant_params = std::move(made.settings.params);
  node.optional_inputs = std::move(made.settings.optional_inputs);
  OwnedRef dependencies = OwnedRef::new_reference(PySequence_Tuple(field(5)));
  for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(dependencies.get()); ++index) {
    node.dependencies.push_back(
        *optional_count_argument("dependencies", PyTuple_GET_ITEM(dependencies.get(), index)));
  }
  node.branch_id = optional_count_argument("branch_id", field(6));
  node.is_branch_entry = PyObject_IsTrue(field(7)) == 1;
  return node;
}

}  // namespace

namespace {

PyObject* dag_from_nodes(PyObject* /*module*/, PyObject* nodes) {
  return entry_point([&] {
    OwnedRef records = OwnedRef::new_reference(PySequence_Tuple(nodes));
    std::vector<node::Node> built;
    built.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(records.get())));
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(records.get()); ++index)
      built.push_back(node_from_info(BorrowedRef(PyTuple_GET_ITEM(records.get(), index))));
    return wrap_dag(dag::Dag(std::move(built))).release();
  });
}

}  // namespace

PyMethodDef dag_from_nodes_function = {
    "_dag_from_nodes", &dag_from_nodes, METH_O,
    "_dag_from_nodes(nodes, /)\n--\n\n"
    "A Dag of exactly the nodes described by a sequence of NodeInfo records."};

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
