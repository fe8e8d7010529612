#include "python_bindings/py_graph.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "builder/graph.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/conversion.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/instance.hpp"
#include "python_bindings/node_arguments.hpp"
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

constexpr Parameters<5> add_parameters{"add", {"function", "label", "inputs", "outputs", "params"}};
constexpr Parameters<5> join_parameters{"join",
                                        {"function", "label", "inputs", "outputs", "params"}};
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

// `add` and `join`: converts everything first, so that a failure adds no
// node, then hands the node to `place` and returns the graph itself.
template <class Place>
PyObject* add_node(PyObject* self, const Parameters<5>& parameters, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, Place&& place) {
  return entry_point([&] {
    GraphState& graph = graph_of(self);
    ExclusiveUse use(graph);
    const auto [function, label_argument, inputs, outputs, params] =
        match_arguments(parameters, args, nargs, kwnames);
    std::optional<std::string> label = optional_text_argument("label", label_argument);
    if (!graph.builder)
      throw_python_error(PyExc_ValueError, "Graph has already been built or consumed");
    NodeArguments node = node_arguments(function, inputs, outputs, params);
    place(*graph.builder, std::move(node.function), std::move(label), std::move(node.inputs),
          std::move(node.outputs), std::move(node.settings));
    return OwnedRef::add_reference(BorrowedRef(self)).release();
  });
}

PyObject* graph_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_node(self, add_parameters, args, nargs, kwnames,
                  [](builder::Graph& builder, auto&&... node) {
                    builder.add(std::forward<decltype(node)>(node)...);
                  });
}

PyObject* graph_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_node(self, join_parameters, args, nargs, kwnames,
                  [](builder::Graph& builder, auto&&... node) {
                    builder.join(std::forward<decltype(node)>(node)...);
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
    if (subgraph_argument == self)
      throw_python_error(PyExc_ValueError, "a graph cannot be its own branch");
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
    "add($self, function=..., label=..., inputs=..., outputs=..., params=...)\n--\n\n"
    "Add a node to the graph\n\n"
    "Args:\n"
    "    function: Optional Python callable. If None, creates a no-op node.\n"
    "    label: Optional string label for the node\n"
    "    inputs: Optional list of (broadcast_var, impl_var) tuples or dict\n"
    "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict\n"
    "    params: Optional mapping of str to objects, passed to every call of the\n"
    "        function as its second argument (a new dict each call)\n\n"
    "Returns:\n"
    "    Self for method chaining";

constexpr const char* join_doc =
    "join($self, function=..., label=..., inputs=..., outputs=..., params=...)\n--\n\n"
    "Add a node that waits for every branch: it depends on every node of the\n"
    "graph that no other node depends on yet (the last node of every branch,\n"
    "nested ones included, and the node added last unless a branch hangs from\n"
    "it). Later nodes and branches hang from it.\n\n"
    "Args:\n"
    "    function, label, inputs, outputs, params: as for add()\n\n"
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
    {"join", as_method(&graph_join), METH_FASTCALL | METH_KEYWORDS, join_doc},
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
    "corvane.Graph", sizeof(PyGraph), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, graph_slots,
};

}  // namespace

OwnedRef create_graph_type() {
  OwnedRef type = OwnedRef::new_reference(PyType_FromSpec(&graph_type_definition));
  graph_type = reinterpret_cast<PyTypeObject*>(OwnedRef::add_reference(type.borrow()).release());
  return type;
}

}  // namespace corvane::python_bindings
