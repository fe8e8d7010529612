#include "builder/graph.hpp"

#include <algorithm>
#include <iterator>

namespace corvane::builder {

Graph& Graph::add(NodeFunction function, std::optional<std::string> label,
                  std::vector<NamePair> inputs, std::vector<NamePair> outputs) {
  const NodeId id = next_node_id_++;
  Node& added =
      nodes_.emplace_back(id, std::move(function), std::move(label),
                          node::NameMap(std::move(inputs)), node::NameMap(std::move(outputs)));
  if (last_node_) added.dependencies.push_back(*last_node_);
  last_node_ = id;
  branch_point_.reset();
  return *this;
}

BranchId Graph::branch(Graph subgraph) {
  const BranchId branch_id = next_branch_id_++;
  if (!branch_point_) branch_point_ = last_node_;

  if (branch_point_ && !subgraph.nodes_.empty()) {
    Node& entry = subgraph.nodes_.front();
    auto& dependencies = entry.dependencies;
    if (std::find(dependencies.begin(), dependencies.end(), *branch_point_) == dependencies.end())
      dependencies.push_back(*branch_point_);
    entry.is_branch_entry = true;
    for (Node& member : subgraph.nodes_) member.branch_id = branch_id;
  }

  // The subgraph's own nodes come first, then its attached nodes. Its first
  // node depends on a node of this builder, whose id stays; its other own
  // nodes, numbered 0, 1, 2, ... in the order added, move up by `offset`.
  const NodeId offset = attached_.size();
  const NodeId own_count = subgraph.nodes_.size();
  if (own_count != 0) attached_entries_.push_back(offset);
  const std::size_t first_only[] = {0};
  append_shifted(attached_, subgraph.nodes_, first_only, 0, offset);
  append_shifted(attached_, subgraph.attached_, subgraph.attached_entries_, offset,
                 offset + own_count);
  return branch_id;
}

void Graph::shift_ids(std::span<Node> nodes, std::span<const std::size_t> entries,
                      NodeId entry_shift, NodeId shift) {
  auto next_entry = entries.begin();
  for (std::size_t position = 0; position < nodes.size(); ++position) {
    Node& shifted = nodes[position];
    const bool is_entry = next_entry != entries.end() && *next_entry == position;
    if (is_entry) ++next_entry;
    for (NodeId& dependency : shifted.dependencies) dependency += is_entry ? entry_shift : shift;
    shifted.id += shift;
  }
}

void Graph::append_shifted(std::vector<Node>& into, std::vector<Node>& from,
                           std::span<const std::size_t> entries, NodeId entry_shift, NodeId shift) {
  shift_ids(from, entries, entry_shift, shift);
  into.insert(into.end(), std::make_move_iterator(from.begin()),
              std::make_move_iterator(from.end()));
}

dag::Dag Graph::build() && {
  if (attached_.size() > nodes_.size()) {
    // Mostly branches (a fan-out): the few own nodes move in front of the
    // attached ones, which stay where they are, instead of every attached
    // node moving to a freshly allocated list.
    shift_ids(attached_, attached_entries_, 0, nodes_.size());
    attached_.insert(attached_.begin(), std::make_move_iterator(nodes_.begin()),
                     std::make_move_iterator(nodes_.end()));
    return dag::Dag(std::move(attached_));
  }
  if (!attached_.empty()) {
    // One allocation for the merged list instead of a regrowth per node.
    nodes_.reserve(nodes_.size() + attached_.size());
    append_shifted(nodes_, attached_, attached_entries_, 0, nodes_.size());
  }
  return dag::Dag(std::move(nodes_));
}

}  // namespace corvane::builder
