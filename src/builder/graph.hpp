#pragma once

#include <optional>
#include <span>
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

  // Lists this builder's own nodes and then every attached subgraph's, with
  // fresh ids, and builds the DAG from them. Linear in the number of nodes
  // and dependencies.
  dag::Dag build() &&;

  // This builder's own nodes, in the order added.
  const std::vector<Node>& nodes() const noexcept { return nodes_; }

  // Calls `visit` on every node this builder owns, attached subgraphs
  // included, depth first; stops at the first call that returns false and
  // then returns false itself.
  template <class Visit>
  bool for_each_node(Visit&& visit) const {
    for (const std::vector<Node>* list : {&nodes_, &attached_})
      for (const Node& owned : *list)
        if (!visit(owned)) return false;
    return true;
  }

 private:
  // Adds `shift` to every id and dependency of `nodes` except the
  // dependencies of the nodes at `entries` (ascending positions in `nodes`),
  // which get `entry_shift` instead.
  static void shift_ids(std::span<Node> nodes, std::span<const std::size_t> entries,
                        NodeId entry_shift, NodeId shift);

  // Moves `from` to the end of `into`, its ids shifted as by `shift_ids`.
  static void append_shifted(std::vector<Node>& into, std::vector<Node>& from,
                             std::span<const std::size_t> entries, NodeId entry_shift,
                             NodeId shift);

  std::vector<Node> nodes_;
  // The nodes of every attached subgraph, merged as each is attached (while
  // the subgraph is still warm in the cache, so that `build` walks one
  // contiguous list), in the order `build` lists them. Their ids count from
  // 0 in this list. The dependencies of each direct subgraph's first node,
  // at the positions in `attached_entries_`, name nodes of `nodes_`; every
  // other dependency names a node of this list.
  std::vector<Node> attached_;
  std::vector<std::size_t> attached_entries_;
  std::optional<NodeId> last_node_;
  std::optional<NodeId> branch_point_;
  NodeId next_node_id_ = 0;
  BranchId next_branch_id_ = 1;
};

}  // namespace corvane::builder
