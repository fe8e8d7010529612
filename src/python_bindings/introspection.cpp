#include "python_bindings/introspection.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <unordered_set>

#include "python_bindings/conversion.hpp"

namespace corvane::python_bindings {

namespace {

PyStructSequence_Field node_info_fields[] = {
    {"id", "the node's id"},
    {"label", "the node's label, or None"},
    {"function", "the callable given to add(), or None for a node that does nothing"},
    {"inputs", "dict: context name -> the function's name for it"},
    {"outputs", "dict: the function's name -> context name"},
    {"dependencies", "tuple of the ids this node depends on, in the order added"},
    {"branch_id", "the id of the branch the node was added to, or None"},
    {"is_branch_entry", "True for the first node of a branch"},
    {"params", "dict: the parameters passed to every call of the function (a new dict each read)"},
    {nullptr, nullptr},
};

PyStructSequence_Desc node_info_description = {
    "corvane.NodeInfo",
    "One node of a built Dag, as read from Dag.nodes.",
    node_info_fields,
    9,
};

// The class object, kept for the life of the process.
PyTypeObject* node_info_type = nullptr;

// Mermaid hosts refuse diagrams past these sizes by default.
constexpr std::size_t kMermaidMaxTextSize = 50'000;
constexpr std::size_t kMermaidMaxEdges = 500;

OwnedRef new_id(node::NodeId id) {
  return OwnedRef::new_reference(PyLong_FromUnsignedLongLong(id));
}

OwnedRef optional_object(const void* held) {
  PyObject* object = held == nullptr ? Py_None : static_cast<PyObject*>(const_cast<void*>(held));
  return OwnedRef::add_reference(BorrowedRef(object));
}

OwnedRef name_map_dict(const node::NameMap& names) {
  OwnedRef dict = OwnedRef::new_reference(PyDict_New());
  for (const auto& [from, to] : names)
    require_status(PyDict_SetItem(dict.get(), str_from_text(from).get(), str_from_text(to).get()));
  return dict;
}

OwnedRef node_info(const node::Node& node) {
  OwnedRef info = OwnedRef::new_reference(PyStructSequence_New(node_info_type));
  OwnedRef fields[] = {
      new_id(node.id),
      node.label ? str_from_text(*node.label) : optional_object(nullptr),
      optional_object(node.function.held_object()),
      name_map_dict(node.inputs),
      name_map_dict(node.outputs),
      id_tuple(node.dependencies),
      node.branch_id ? new_id(*node.branch_id) : optional_object(nullptr),
      OwnedRef::add_reference(BorrowedRef(node.is_branch_entry ? Py_True : Py_False)),
      context_to_dict(node.variant_params),
  };
  for (Py_ssize_t i = 0; i < std::ssize(fields); ++i)
    PyStructSequence_SetItem(info.get(), i, fields[i].release());
  // A new struct sequence is not yet known to the cycle collector, and this
  // one may hold a callable that leads back to itself.
  if (!PyObject_GC_IsTracked(info.get())) PyObject_GC_Track(info.get());
  return info;
}

// Edges as the renderer draws them: one per distinct dependency of a node.
std::size_t edge_count(const dag::Dag& dag) {
  std::size_t edges = 0;
  std::unordered_set<node::NodeId> seen;
  for (const node::Node& node : dag.nodes()) {
    seen.clear();
    for (node::NodeId dependency : node.dependencies) edges += seen.insert(dependency).second;
  }
  return edges;
}

// The length that JavaScript hosts measure: UTF-16 code units.
std::size_t utf16_length(const std::string& text) {
  std::size_t units = 0;
  for (unsigned char byte : text) {
    if ((byte & 0xC0) != 0x80) ++units;  // a code point starts here
    if (byte >= 0xF0) ++units;           // beyond the basic plane: a surrogate pair
  }
  return units;
}

}  // namespace

OwnedRef create_node_info_type() {
  OwnedRef type = OwnedRef::new_reference(
      reinterpret_cast<PyObject*>(PyStructSequence_NewType(&node_info_description)));
  node_info_type =
      reinterpret_cast<PyTypeObject*>(OwnedRef::add_reference(type.borrow()).release());
  return type;
}

OwnedRef node_infos(const dag::Dag& dag) {
  const auto& nodes = dag.nodes();
  OwnedRef tuple = OwnedRef::new_reference(PyTuple_New(std::ssize(nodes)));
  for (std::size_t i = 0; i < nodes.size(); ++i)
    PyTuple_SET_ITEM(tuple.get(), i, node_info(nodes[i]).release());
  return tuple;
}

OwnedRef id_tuple(std::span<const node::NodeId> order) {
  OwnedRef tuple = OwnedRef::new_reference(PyTuple_New(std::ssize(order)));
  for (std::size_t i = 0; i < order.size(); ++i)
    PyTuple_SET_ITEM(tuple.get(), i, new_id(order[i]).release());
  return tuple;
}

OwnedRef level_tuples(const std::vector<std::vector<node::NodeId>>& levels) {
  OwnedRef tuple = OwnedRef::new_reference(PyTuple_New(std::ssize(levels)));
  for (std::size_t i = 0; i < levels.size(); ++i)
    PyTuple_SET_ITEM(tuple.get(), i, id_tuple(levels[i]).release());
  return tuple;
}

OwnedRef mermaid_markdown(const dag::Dag& dag) {
  const std::size_t edges = edge_count(dag);
  std::string diagram = dag.to_mermaid();
  if (edges <= kMermaidMaxEdges && utf16_length(diagram) <= kMermaidMaxTextSize)
    return str_from_text("```mermaid\n" + diagram + "```\n");
  const auto count = [](std::size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
  };
  return str_from_text("**corvane Dag**: " + count(dag.nodes().size(), "node") + ", " +
                       count(dag.level_count(), "level") + ", " + count(edges, "edge") +
                       ". Too large for a Mermaid diagram in a notebook (Mermaid draws at most " +
                       std::to_string(kMermaidMaxEdges) + " edges and " +
                       std::to_string(kMermaidMaxTextSize) +
                       " characters by default); `to_mermaid()` gives the full text.\n");
}

}  // namespace corvane::python_bindings
