#include <string_view>
#include <unordered_set>
#include <utility>

#include "dag/dag.hpp"

namespace corvane::dag {

namespace {

struct EdgeHash {
  std::size_t operator()(const std::pair<NodeId, NodeId>& edge) const noexcept {
    std::uint64_t mixed = edge.first * 0x9e3779b97f4a7c15ULL ^ edge.second;
    mixed = (mixed ^ (mixed >> 31)) * 0xbf58476d1ce4e5b9ULL;
    return static_cast<std::size_t>(mixed ^ (mixed >> 29));
  }
};

bool produces(const Node& producer, std::string_view broadcast) {
  for (const auto& [implementation, produced] : producer.outputs)
    if (produced == broadcast) return true;
  return false;
}

void append_declaration(std::string& text, const Node& node) {
  text += "    ";
  text += std::to_string(node.id);
  text += "[\"";
  if (node.label) {
    text += *node.label;
  } else {
    text += "Node ";
    text += std::to_string(node.id);
  }
  text += "\"]\n";
}

// "    {from} --> {to}", or with the carried variables between pipes.
void append_edge(std::string& text, NodeId from, const Node& to, const Node* producer) {
  text += "    ";
  text += std::to_string(from);
  text += " -->";
  bool labelled = false;
  if (producer != nullptr) {
    for (const auto& [broadcast, implementation] : to.inputs) {
      if (!produces(*producer, broadcast)) continue;
      text += labelled ? "<br/>" : "|";
      text += broadcast;
      text += " \u2192 ";
      text += implementation;
      labelled = true;
    }
  }
  if (labelled) text += "|";
  text += " ";
  text += std::to_string(to.id);
  text += "\n";
}

}  // namespace

std::string Dag::to_mermaid() const {
  std::string text = "graph TD\n";
  for (const Node& node : nodes_) append_declaration(text, node);

  std::unordered_set<std::pair<NodeId, NodeId>, EdgeHash> drawn;
  for (const Node& node : nodes_) {
    for (NodeId dependency : node.dependencies) {
      if (!drawn.emplace(dependency, node.id).second) continue;
      const std::size_t producer = index_.find(dependency);
      append_edge(text, dependency, node, producer == NodeIndex::npos ? nullptr : &nodes_[producer]);
    }
  }

  for (const Node& node : nodes_)
    if (node.is_branch_entry) text += "    style " + std::to_string(node.id) + " fill:#e1f5ff\n";
  return text;
}

}  // namespace corvane::dag
