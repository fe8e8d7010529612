#include "builder/graph.hpp"

#include <algorithm>

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
  branches_.emplace_back(branch_id, std::move(subgraph));
  return branch_id;
}

void Graph::merge_branch(Graph subgraph, IdShift enclosing) {
  // A builder numbers its own nodes 0, 1, 2, ... in the order added.
  const IdShift own{subgraph.next_node_id_, next_node_id_};
  bool first = true;
  for (Node& moved : subgraph.nodes_) {
    // The first node can only depend on the branch point, a node of the
    // enclosing graph; later nodes depend on earlier nodes of their own graph.
    const IdShift& shift = first ? enclosing : own;
    for (NodeId& dependency : moved.dependencies) dependency = shift(dependency);
    moved.id = next_node_id_++;
    nodes_.push_back(std::move(moved));
    first = false;
  }
  for (auto& [nested_id, nested] : subgraph.branches_) merge_branch(std::move(nested), own);
}

dag::Dag Graph::build() && {
  // One allocation for the merged list instead of a regrowth per branch.
  std::size_t total = 0;
  for_each_node([&](const Node&) {
    ++total;
    return true;
  });
  nodes_.reserve(total);

  auto attached = std::move(branches_);
  branches_.clear();
  // Nodes of the top-level builder are never renumbered.
  for (auto& [branch_id, subgraph] : attached) merge_branch(std::move(subgraph), IdShift{});
  return dag::Dag(std::move(nodes_));
}

}  // namespace corvane::builder
