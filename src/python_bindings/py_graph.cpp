#include "python_bindings/py_graph.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "builder/graph.hpp"
#include "python_bindings/adapter.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/conversion.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/instance.hpp"
#include "python_bindings/py_dag.hpp"

namespace corvane::python_bindings {

namespace {

struct GraphState {
  // Empty for good once the builder has been built or attached as a branch.
  std::unique_ptr<builder::Graph> builder;
  // Set while a method runs on the graph: guards against a graph being
  // passed to its own `branch`.
  bool in_use = false;
};

struct PyGraph {
  PyObject_HEAD GraphState state;
};

// The class object, kept for the life of the process (the module is
// initialised once and never unloaded).
PyTypeObject* graph_type = nullptr;

// Exclusive use of a graph for the length of one method call.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(GraphState& graph) : graph_(graph) {
    if (graph.in_use) throw_python_error(PyExc_RuntimeError, "Already borrowed");
    graph.in_use = true;
  }
  ~ExclusiveUse() { graph_.in_use = false; }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;

 private:
  GraphState& graph_;
};

GraphState& graph_of(PyObject* self) noexcept {
  return state_of<PyGraph>(self);
}

int graph_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  int stopped = 0;
  if (const auto& builder = graph_of(self).builder) {
    builder->for_each_node([&](const node::Node& node) {
      stopped = visit_node_function(node, visit, arg);
      return stopped == 0;
    });
  }
  return stopped;
}

int graph_clear(PyObject* self) {
  graph_of(self).builder.reset();
  return 0;
}

std::vector<node::NamePair> mapping_argument(PyObject* value) {
  if (value == nullptr || value == Py_None) return {};
  return parse_mapping(BorrowedRef(value));
}

node::NodeFunction node_function_for(PyObject* function) {
  if (function == nullptr || function == Py_None) return node::NodeFunction::noop();
  return create_python_node_function(BorrowedRef(function));
}

constexpr Parameters<4> add_parameters{"add", {"function", "label", "inputs", "outputs"}};
constexpr Parameters<1> branch_parameters{"branch", {"subgraph"}, 1};

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_point([&] {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0))
      throw_python_error(PyExc_TypeError, "Graph() takes no arguments");
    OwnedRef self = allocate_instance<PyGraph>(type);
    graph_of(self.get()).builder = std::make_unique<builder::Graph>();
    return self.release();
  });
}

PyObject* graph_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&] {
    GraphState& graph = graph_of(self);
    ExclusiveUse use(graph);
    const auto [function, label_argument, inputs_argument, outputs_argument] =
        match_arguments(add_parameters, args, nargs, kwnames);
    std::optional<std::string> label = optional_text_argument("label", label_argument);
    if (!graph.builder)
      throw_python_error(PyExc_ValueError, "Graph has already been built or consumed");
    // Inputs first, so that when both are malformed the inputs are reported.
    std::vector<node::NamePair> inputs = mapping_argument(inputs_argument);
    std::vector<node::NamePair> outputs = mapping_argument(outputs_argument);
    graph.builder->add(node_function_for(function), std::move(label), std::move(inputs),
                       std::move(outputs));
    return OwnedRef::add_reference(BorrowedRef(Py_None)).release();
  });
}

PyObject* graph_branch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&] {
    GraphState& graph = graph_of(self);
    ExclusiveUse use(graph);
    const auto [subgraph_argument] = match_arguments(branch_parameters, args, nargs, kwnames);
    if (!Py_IS_TYPE(subgraph_argument, graph_type)) {
      throw_argument_type_error(
          "subgraph",
          "expected Graph, got " + std::string(type_name_of(BorrowedRef(subgraph_argument))));
    }
    GraphState& subgraph = graph_of(subgraph_argument);
    ExclusiveUse subgraph_use(subgraph);
    if (!graph.builder)
      throw_python_error(PyExc_ValueError, "Graph has already been built or consumed");
    if (!subgraph.builder)
      throw_python_error(PyExc_ValueError, "Subgraph has already been built or consumed");
    const std::unique_ptr<builder::Graph> attached = std::move(subgraph.builder);
    const node::BranchId id = graph.builder->branch(std::move(*attached));
    return OwnedRef::new_reference(PyLong_FromUnsignedLongLong(id)).release();
  });
}

PyObject* graph_build(PyObject* self, PyObject* /*unused*/) {
  return entry_point([&] {
    GraphState& graph = graph_of(self);
    ExclusiveUse use(graph);
    if (!graph.builder) throw_python_error(PyExc_ValueError, "Graph has already been built");
    const std::unique_ptr<builder::Graph> taken = std::move(graph.builder);
    return wrap_dag(std::move(*taken).build()).release();
  });
}

constexpr const char* graph_doc = "Python wrapper for Graph builder";

constexpr const char* add_doc =
    "add($self, function=..., label=..., inputs=..., outputs=...)\n--\n\n"
    "Add a node to the graph\n\n"
    "Args:\n"
    "    function: Optional Python callable. If None, creates a no-op node.\n"
    "    label: Optional string label for the node\n"
    "    inputs: Optional list of (broadcast_var, impl_var) tuples or dict\n"
    "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict\n\n"
    "Returns:\n"
    "    Self for method chaining";

constexpr const char* branch_doc =
    "branch($self, subgraph)\n--\n\n"
    "Create a branch in the graph\n\n"
    "Args:\n"
    "    subgraph: PyGraph instance representing the branch\n\n"
    "Returns:\n"
    "    Branch ID (usize)";

constexpr const char* build_doc =
    "build($self)\n--\n\n"
    "Build the DAG from the graph\n\n"
    "Returns:\n"
    "    PyDag instance ready for execution";

PyMethodDef graph_methods[] = {
    {"add", as_method(&graph_add), METH_FASTCALL | METH_KEYWORDS, add_doc},
    {"branch", as_method(&graph_branch), METH_FASTCALL | METH_KEYWORDS, branch_doc},
    {"build", as_method(&graph_build), METH_NOARGS, build_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>(graph_doc)},
    {Py_tp_new, as_slot(&graph_new)},
    {Py_tp_dealloc, as_slot(&destroy_instance<PyGraph>)},
    {Py_tp_traverse, as_slot(&graph_traverse)},
    {Py_tp_clear, as_slot(&graph_clear)},
    {Py_tp_methods, graph_methods},
    {0, nullptr},
};

// No BASETYPE flag: the class cannot be subclassed. No dict or weak-reference
// offsets: instances take no attributes and no weak references.
PyType_Spec graph_type_definition = {
    "builtins.Graph", sizeof(PyGraph), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, graph_slots,
};

}  // namespace

OwnedRef create_graph_type() {
  OwnedRef type = OwnedRef::new_reference(PyType_FromSpec(&graph_type_definition));
  graph_type = reinterpret_cast<PyTypeObject*>(OwnedRef::add_reference(type.borrow()).release());
  return type;
}

}  // namespace corvane::python_bindings
