#include "builder/graph.hpp"

#include <iterator>

namespace corvane::builder {

Graph& Graph::add(NodeFunction function, std::optional<std::string> label,
                  std::vector<NamePair> inputs, std::vector<NamePair> outputs,
                  NodeSettings settings) {
  node::DependencyList dependencies;
  if (last_node_) dependencies.push_back(*last_node_);
  return append(std::move(function), std::move(label), std::move(inputs), std::move(outputs),
                std::move(settings), std::move(dependencies));
}

Graph& Graph::join(NodeFunction function, std::optional<std::string> label,
                   std::vector<NamePair> inputs, std::vector<NamePair> outputs,
                   NodeSettings settings) {
  // Own ids are final but attached ones move when the next own node comes,
  // so the attached nodes go apart first and the sinks are read after.
  if (nodes_.size() > own_count_) split();
  node::DependencyList dependencies = sinks();
  attached_sinks_.clear();
  return append(std::move(function), std::move(label), std::move(inputs), std::move(outputs),
                std::move(settings), std::move(dependencies));
}

Graph& Graph::append(NodeFunction function, std::optional<std::string> label,
                     std::vector<NamePair> inputs, std::vector<NamePair> outputs,
                     NodeSettings settings, node::DependencyList dependencies) {
  if (nodes_.size() > own_count_) split();
  const NodeId id = own_count_++;
  Node& added =
      nodes_.emplace_back(id, std::move(function), std::move(label),
                          node::NameMap(std::move(inputs)), node::NameMap(std::move(outputs)));
  added.variant_params = std::move(settings.params);
  added.optional_inputs = std::move(settings.optional_inputs);
  const bool follows_last = dependencies.empty()
                                ? !last_node_
                                : dependencies.size() == 1 && dependencies[0] == last_node_;
  // A node with no dependency while the graph has nodes, or with another
  // one than the node before it, is beyond what the parent list describes.
  if (!follows_last) joined_ = true;
  parents_.push_back(dependencies.empty() ? no_parent : dependencies[0]);
  added.dependencies = std::move(dependencies);
  last_node_ = id;
  last_has_child_ = false;
  branch_point_.reset();
  return *this;
}

node::DependencyList Graph::sinks() const {
  node::DependencyList sinks;
  if (last_node_ && !last_has_child_) sinks.push_back(*last_node_);
  for (NodeId sink : attached_sinks_) sinks.push_back(sink);
  return sinks;
}

BranchId Graph::branch(Graph subgraph) {
  const BranchId branch_id = next_branch_id_++;
  if (!branch_point_) branch_point_ = last_node_;

  // The subgraph's nodes follow the attached ones, renumbered by where they
  // land; then its first node, if it is one of its own, hangs from the
  // branch point.
  subgraph.flatten();
  std::vector<Node>& incoming = subgraph.nodes_;
  const bool in_place = attached_.empty();
  const NodeId first_id = in_place ? nodes_.size() : kApartBase + attached_.size();
  shift_ids(incoming, 0, first_id);
  if (in_place) {
    for (NodeId parent : subgraph.parents_)
      parents_.push_back(parent == no_parent ? no_parent : parent + first_id);
  }
  node::DependencyList incoming_sinks = subgraph.sinks();
  for (NodeId sink : incoming_sinks) attached_sinks_.push_back(sink + first_id);
  joined_ = joined_ || subgraph.joined_;
  if (branch_point_ && subgraph.own_count_ != 0) {
    // The subgraph's first node had no dependency: it was the first added.
    Node& entry = incoming.front();
    entry.dependencies.push_back(*branch_point_);
    entry.is_branch_entry = true;
    for (std::size_t position = 0; position < subgraph.own_count_; ++position)
      incoming[position].branch_id = branch_id;
    if (in_place) parents_[first_id] = *branch_point_;
    last_has_child_ = true;
  }

  std::vector<Node>& attached = in_place ? nodes_ : attached_;
  attached.insert(attached.end(), std::make_move_iterator(incoming.begin()),
                  std::make_move_iterator(incoming.end()));
  return branch_id;
}

void Graph::shift_ids(std::span<Node> nodes, NodeId from, NodeId shift) {
  shift_dependencies(nodes, from, shift);
  for (Node& shifted : nodes) shifted.id += shift;
}

void Graph::shift_dependencies(std::span<Node> nodes, NodeId from, NodeId shift) {
  for (Node& shifted : nodes)
    for (NodeId& dependency : shifted.dependencies)
      if (dependency >= from) dependency += shift;
}

void Graph::shift_sinks(std::vector<NodeId>& sinks, NodeId shift) {
  for (NodeId& sink : sinks) sink += shift;
}

void Graph::split() {
  const auto first_attached = nodes_.begin() + static_cast<std::ptrdiff_t>(own_count_);
  shift_ids({first_attached, nodes_.end()}, own_count_, kApartBase - own_count_);
  shift_sinks(attached_sinks_, kApartBase - own_count_);
  attached_.assign(std::make_move_iterator(first_attached), std::make_move_iterator(nodes_.end()));
  nodes_.erase(first_attached, nodes_.end());
  parents_.resize(own_count_);
}

void Graph::flatten() {
  if (attached_.empty()) return;
  shift_ids(attached_, kApartBase, own_count_ - kApartBase);
  shift_sinks(attached_sinks_, own_count_ - kApartBase);
  // Joins among the own nodes name attached nodes by their numbers apart.
  if (joined_) shift_dependencies({nodes_.data(), own_count_}, kApartBase, own_count_ - kApartBase);
  for (const Node& node : attached_)
    parents_.push_back(node.dependencies.empty() ? no_parent : node.dependencies[0]);
  nodes_.reserve(nodes_.size() + attached_.size());
  nodes_.insert(nodes_.end(), std::make_move_iterator(attached_.begin()),
                std::make_move_iterator(attached_.end()));
  attached_.clear();
}

dag::Dag Graph::build() && {
  flatten();
  if (joined_) return dag::Dag(std::move(nodes_));
  return dag::Dag(std::move(nodes_), std::move(parents_));
}

}  // namespace corvane::builder
