#include "builder/graph.hpp"

#include <iterator>
#include <utility>

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
  // Own ids are final but placed ones move when the next own node comes,
  // so the placed nodes go apart first and the sinks are read after.
  if (nodes_.size() > own_count_) split();
  node::DependencyList dependencies = sinks();
  placed_sinks_.clear();
  first_unjoined_kept_ = kept_.size();
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
  for (NodeId sink : placed_sinks_) sinks.push_back(sink);
  // The kept subgraphs follow, walked in node-list order with a list, not
  // by recursion; each node is named by where it comes among the attached
  // nodes. A join takes every sink it finds, so no subgraph is walked twice.
  std::vector<std::pair<const Graph*, NodeId>> pending;
  const auto walk_kept = [&pending](const Graph& graph, NodeId first_apart_position) {
    for (std::size_t index = graph.kept_.size(); index-- > graph.first_unjoined_kept_;) {
      const Graph& kept = graph.kept_[index];
      pending.emplace_back(&kept, first_apart_position + kept.first_attached_position_);
    }
  };
  walk_kept(*this, 0);
  while (!pending.empty()) {
    const auto [graph, first_position] = pending.back();
    pending.pop_back();
    const NodeId first_id = kApartBase + first_position;
    if (graph->last_node_ && !graph->last_has_child_)
      sinks.push_back(first_id + *graph->last_node_);
    for (NodeId sink : graph->placed_sinks_) sinks.push_back(first_id + sink);
    walk_kept(*graph, first_position + graph->own_count_);
  }
  return sinks;
}

BranchId Graph::branch(Graph subgraph) {
  const BranchId branch_id = next_branch_id_++;
  if (!branch_point_) branch_point_ = last_node_;
  if (branch_point_ && subgraph.own_count_ != 0) {
    subgraph.hang_from(*branch_point_, branch_id);
    last_has_child_ = true;
  }
  joined_ = joined_ || subgraph.joined_;
  // Placing costs time in proportion to the subgraph, but a node is placed
  // at most once: the builder it lands in has attached nodes from then on,
  // so it is kept apart wherever it is attached next.
  if (subgraph.attached_count_ == 0 && kept_.empty()) {
    place(subgraph);
  } else {
    if (nodes_.size() > own_count_) split();
    keep_apart(std::move(subgraph));
  }
  return branch_id;
}

void Graph::hang_from(NodeId branch_point, BranchId branch_id) {
  for (std::size_t position = 0; position < own_count_; ++position)
    nodes_[position].branch_id = branch_id;
  // The first node was the first added, so it had no dependency of its own
  // unless it joins branches of this builder: the branch point comes last.
  Node& entry = nodes_.front();
  entry.dependencies.push_back(kOuterBase + branch_point);
  entry.is_branch_entry = true;
}

void Graph::place(Graph& subgraph) {
  const NodeId first_id = nodes_.size();
  for (NodeId sink : subgraph.sinks()) placed_sinks_.push_back(first_id + sink);
  for (Node& placed : subgraph.nodes_) {
    subgraph.renumber(placed, first_id, 0);
    parents_.push_back(placed.dependencies.empty() ? no_parent : placed.dependencies[0]);
    nodes_.push_back(std::move(placed));
  }
  attached_count_ += subgraph.own_count_;
}

void Graph::keep_apart(Graph subgraph) {
  subgraph.first_attached_position_ = attached_count_;
  attached_count_ += subgraph.node_count();
  kept_.push_back(std::move(subgraph));
}

void Graph::split() {
  // The placed nodes become the own nodes of a subgraph kept apart: what
  // they name among them moves down by `own_count_`, and what they name
  // among this builder's own nodes (their branch point) becomes outer.
  Graph placed;
  const auto first_placed = nodes_.begin() + static_cast<std::ptrdiff_t>(own_count_);
  placed.nodes_.assign(std::make_move_iterator(first_placed),
                       std::make_move_iterator(nodes_.end()));
  for (Node& moved : placed.nodes_) {
    moved.id -= own_count_;
    for (NodeId& dependency : moved.dependencies)
      dependency = dependency >= own_count_ ? dependency - own_count_ : kOuterBase + dependency;
  }
  placed.own_count_ = placed.nodes_.size();
  placed.placed_sinks_ = std::move(placed_sinks_);
  for (NodeId& sink : placed.placed_sinks_) sink -= own_count_;
  placed_sinks_.clear();
  nodes_.erase(first_placed, nodes_.end());
  parents_.resize(own_count_);
  kept_.push_back(std::move(placed));
}

void Graph::renumber(Node& node, NodeId first_id, NodeId outer_first_id) const noexcept {
  node.id += first_id;
  for (NodeId& dependency : node.dependencies) {
    dependency = dependency >= kOuterBase ? outer_first_id + (dependency - kOuterBase)
                                          : first_id + listed_position(dependency);
  }
}

Graph::~Graph() {
  // Nested subgraphs are let go one level at a time: a recursion as deep
  // as the nesting could overflow the stack.
  std::vector<Graph> pending = std::move(kept_);
  while (!pending.empty()) {
    Graph last = std::move(pending.back());
    pending.pop_back();
    for (Graph& nested : last.kept_) pending.push_back(std::move(nested));
    last.kept_.clear();
  }
}

dag::Dag Graph::build() && {
  // Joins among the own nodes may name attached nodes by their ids apart.
  if (joined_)
    for (Node& own : nodes_) renumber(own, 0, 0);
  const NodeId first_apart_id = own_count_;
  std::vector<Node> listed = std::move(nodes_);
  std::vector<NodeId> parents = std::move(parents_);
  // A joined graph is ordered from its nodes alone.
  const bool with_parents = !joined_;
  listed.reserve(node_count());
  if (with_parents) parents.reserve(node_count());

  // Depth first, each builder's own nodes before its kept subgraphs: the
  // order and the numbers `build` promises.
  struct Visit {
    Graph* graph;
    NodeId first_id;
    NodeId first_apart_id;
    std::size_t next_kept = 0;
  };
  std::vector<Visit> pending{{this, 0, first_apart_id}};
  while (!pending.empty()) {
    Visit& visit = pending.back();
    if (visit.next_kept == visit.graph->kept_.size()) {
      pending.pop_back();
      continue;
    }
    Graph& kept = visit.graph->kept_[visit.next_kept++];
    const NodeId first_id = visit.first_apart_id + kept.first_attached_position_;
    const NodeId outer_first_id = visit.first_id;
    for (Node& node : kept.nodes_) {
      kept.renumber(node, first_id, outer_first_id);
      if (with_parents)
        parents.push_back(node.dependencies.empty() ? no_parent : node.dependencies[0]);
      listed.push_back(std::move(node));
    }
    pending.push_back({&kept, first_id, first_id + kept.own_count_});
  }
  if (joined_) return dag::Dag(std::move(listed));
  return dag::Dag(std::move(listed), std::move(parents));
}

}  // namespace corvane::builder
