#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "dag/dag.hpp"
#include "dag/mermaid_label.hpp"

namespace corvane::dag {

namespace {

struct EdgeHash {
  std::size_t operator()(const std::pair<NodeId, NodeId>& edge) const noexcept {
    std::uint64_t mixed = edge.first * 0x9e3779b97f4a7c15ULL ^ edge.second;
    mixed = (mixed ^ (mixed >> 31)) * 0xbf58476d1ce4e5b9ULL;
    return static_cast<std::size_t>(mixed ^ (mixed >> 29));
  }
};

// Tells whether an edge (dependency, node) comes up for the first time.
// When every node has its own id, an edge can only repeat within one node's
// dependency list, so only that list is checked, which keeps rendering
// linear without a set of every edge; otherwise all edges are remembered.
class DrawnEdges {
 public:
  explicit DrawnEdges(bool ids_unique) : ids_unique_(ids_unique) {}

  bool first_time(const Node& node, std::size_t dependency_index) {
    const NodeId dependency = node.dependencies[dependency_index];
    if (!ids_unique_) return all_.emplace(dependency, node.id).second;
    if (dependency_index == 0) of_node_.clear();
    if (node.dependencies.size() <= kScanLimit) {
      const auto first = node.dependencies.begin();
      return std::find(first, first + dependency_index, dependency) == first + dependency_index;
    }
    return of_node_.insert(dependency).second;
  }

 private:
  static constexpr std::size_t kScanLimit = 16;
  bool ids_unique_;
  std::unordered_set<std::pair<NodeId, NodeId>, EdgeHash> all_;
  std::unordered_set<NodeId> of_node_;
};

bool produces(const Node& producer, std::string_view broadcast) {
  for (const auto& [implementation, produced] : producer.outputs)
    if (produced == broadcast) return true;
  return false;
}

void append_id(std::string& text, NodeId id) {
  char digits[std::numeric_limits<NodeId>::digits10 + 1];
  text.append(digits, std::to_chars(std::begin(digits), std::end(digits), id).ptr);
}

// Appends the node's declaration line; returns whether its label ends in
// `=`.
bool append_declaration(std::string& text, const Node& node) {
  text += "    ";
  append_id(text, node.id);
  text += "[\"";
  if (node.label) {
    append_node_label(text, *node.label);
  } else {
    text += "Node ";
    append_id(text, node.id);
  }
  text += "\"]\n";
  return node.label && node.label->ends_with('=');
}

// The carried variables of an edge, "{broadcast} → {implementation}" for
// each input of `to` that `producer` outputs, joined by "<br/>".
std::string edge_label(const Node& to, const Node& producer) {
  std::string label;
  for (const auto& [broadcast, implementation] : to.inputs) {
    if (!produces(producer, broadcast)) continue;
    if (!label.empty()) label += "<br/>";
    label += broadcast;
    label += " \u2192 ";
    label += implementation;
  }
  return label;
}

// "    {from} --> {to}", or with the carried variables between pipes; returns
// whether that label ends in `=`.
bool append_edge(std::string& text, NodeId from, const Node& to, const Node* producer) {
  bool ends_in_equals = false;
  text += "    ";
  append_id(text, from);
  text += " -->";
  if (producer != nullptr) {
    const std::string label = edge_label(to, *producer);
    if (!label.empty()) {
      text += "|";
      append_edge_label(text, label);
      text += "|";
      ends_in_equals = label.ends_with('=');
    }
  }
  text += " ";
  append_id(text, to.id);
  text += "\n";
  return ends_in_equals;
}

}  // namespace

std::string Dag::to_mermaid() const {
  // Room for a typical node's declaration and edge, so that a large graph's
  // text is not copied again each time it outgrows its buffer; room never
  // written costs no memory.
  std::string text;
  text.reserve(96 * nodes_.size() + 16);
  text = "graph TD\n";
  // Only a label ending in `=` can put `="` into the text, which is all that
  // the pass over tag-like spans at the end rewrites.
  bool label_ends_in_equals = false;
  std::vector<NodeId> branch_entries;
  for (const Node& node : nodes_) {
    label_ends_in_equals |= append_declaration(text, node);
    if (node.is_branch_entry) branch_entries.push_back(node.id);
  }

  DrawnEdges drawn(index_.ids_unique());
  for (const Node& node : nodes_) {
    for (std::size_t i = 0; i < node.dependencies.size(); ++i) {
      if (!drawn.first_time(node, i)) continue;
      const NodeId dependency = node.dependencies[i];
      const std::size_t producer = index_.find(dependency);
      label_ends_in_equals |= append_edge(
          text, dependency, node, producer == NodeIndex::npos ? nullptr : &nodes_[producer]);
    }
  }

  for (NodeId entry : branch_entries) {
    text += "    style ";
    append_id(text, entry);
    text += " fill:#e1f5ff\n";
  }
  if (!label_ends_in_equals) return text;
  return escape_equals_in_tag_spans(std::move(text));
}

}  // namespace corvane::dag
