#include "dag/dependency_graph.hpp"

namespace corvane::dag {

DependencyGraph::DependencyGraph(const Dag& dag) : order_(dag.order_positions()) {
  const std::vector<Node>& nodes = dag.nodes();
  std::vector<std::size_t> rank_of(nodes.size());
  for (std::size_t rank = 0; rank < order_.size(); ++rank) rank_of[order_[rank]] = rank;

  // Every node of the order has all its dependencies in it, earlier.
  dependency_starts_.reserve(order_.size() + 1);
  dependency_starts_.push_back(0);
  dependent_starts_.assign(order_.size() + 1, 0);
  for (std::size_t rank = 0; rank < order_.size(); ++rank) {
    for (NodeId id : nodes[order_[rank]].dependencies) {
      const std::size_t dependency = rank_of[dag.position_of(id)];
      dependencies_.push_back(dependency);
      ++dependent_starts_[dependency + 1];
    }
    dependency_starts_.push_back(dependencies_.size());
  }

  for (std::size_t rank = 0; rank < order_.size(); ++rank)
    dependent_starts_[rank + 1] += dependent_starts_[rank];
  dependents_.resize(dependencies_.size());
  std::vector<std::size_t> fill(dependent_starts_.begin(), dependent_starts_.end() - 1);
  for (std::size_t rank = 0; rank < order_.size(); ++rank)
    for (std::size_t dependency : dependencies(rank)) dependents_[fill[dependency]++] = rank;

  join_numbers_.assign(order_.size(), none);
  for (std::size_t rank = 0; rank < order_.size(); ++rank) {
    if (dependencies(rank).empty()) roots_.push_back(rank);
    if (dependencies(rank).size() < 2) continue;
    join_numbers_[rank] = joins_.size();
    joins_.push_back(rank);
  }
}

std::shared_ptr<const DependencyGraph> DependencyGraphCache::get(const Dag& dag) {
  std::lock_guard lock(mutex_);
  if (!graph_) graph_ = std::make_shared<const DependencyGraph>(dag);
  return graph_;
}

}  // namespace corvane::dag
