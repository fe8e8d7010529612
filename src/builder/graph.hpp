#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dag/dag.hpp"
#include "node/node.hpp"

namespace corvane::builder {

using node::BranchId;
using node::NamePair;
using node::Node;
using node::NodeFunction;
using node::NodeId;

// Builds a graph as a chain of nodes with subgraphs hanging side by side from
// it. Used by one thread at a time; no operation fails.
class Graph {
 public:
  Graph() = default;
  Graph(Graph&&) noexcept = default;
  Graph& operator=(Graph&&) noexcept = default;
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // Appends a node that depends on the node added just before it.
  // `inputs` pairs are (broadcast, implementation) names, `outputs` pairs
  // (implementation, broadcast); a later pair for the same first name wins.
  Graph& add(NodeFunction function, std::optional<std::string> label = std::nullopt,
             std::vector<NamePair> inputs = {}, std::vector<NamePair> outputs = {});

  // Takes over `subgraph` and hangs its first node from the node most
  // recently added (the same node for every `branch` call since the last
  // `add`). Returns the branch id, counting from 1 in every builder.
  BranchId branch(Graph subgraph);

  // Folds every attached subgraph into one node list with fresh ids and
  // builds the DAG from it. Linear in the number of nodes and dependencies.
  dag::Dag build() &&;

  // This builder's own nodes, in the order added.
  const std::vector<Node>& nodes() const noexcept { return nodes_; }

  // Calls `visit` on every node this builder owns, attached subgraphs
  // included, depth first; stops at the first call that returns false and
  // then returns false itself.
  template <class Visit>
  bool for_each_node(Visit&& visit) const {
    for (const Node& owned : nodes_)
      if (!visit(owned)) return false;
    for (const auto& [branch_id, subgraph] : branches_)
      if (!subgraph.for_each_node(visit)) return false;
    return true;
  }

 private:
  // Old-to-new ids of one merged subgraph: its ids 0..count-1 move up by
  // `first_new_id`. Ids outside that range name nodes of another graph and
  // stay as they are.
  struct IdShift {
    NodeId count = 0;
    NodeId first_new_id = 0;
    NodeId operator()(NodeId old_id) const {
      return old_id < count ? first_new_id + old_id : old_id;
    }
  };

  void merge_branch(Graph subgraph, IdShift enclosing);

  std::vector<Node> nodes_;
  std::vector<std::pair<BranchId, Graph>> branches_;
  std::optional<NodeId> last_node_;
  std::optional<NodeId> branch_point_;
  NodeId next_node_id_ = 0;
  BranchId next_branch_id_ = 1;
};

}  // namespace corvane::builder
