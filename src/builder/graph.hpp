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
using node::NodeSettings;

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
             std::vector<NamePair> inputs = {}, std::vector<NamePair> outputs = {},
             NodeSettings settings = {});

  // Appends a node like `add`, but one that depends on every node of this
  // builder that no other node depends on yet (the last node of every
  // branch, nested ones included, and the node added last unless a branch
  // hangs from it), in node-list order. Later nodes hang from it.
  Graph& join(NodeFunction function, std::optional<std::string> label = std::nullopt,
              std::vector<NamePair> inputs = {}, std::vector<NamePair> outputs = {},
              NodeSettings settings = {});

  // Takes over `subgraph` and hangs its first node from the node most
  // recently added (the same node for every `branch` call since the last
  // `add`). Returns the branch id, counting from 1 in every builder.
  BranchId branch(Graph subgraph);

  // Lists this builder's own nodes and then every attached subgraph's, with
  // fresh ids, and builds the DAG from them. Linear in the number of nodes
  // and dependencies.
  dag::Dag build() &&;

  // This builder's own nodes, in the order added.
  std::span<const Node> nodes() const noexcept { return {nodes_.data(), own_count_}; }

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
  static constexpr NodeId no_parent = dag::Dag::no_parent;
  // While own nodes may still be added in front of them, attached nodes kept
  // apart are numbered from here. No own id gets this far, so a dependency
  // tells by its size which of the two lists it names.
  static constexpr NodeId kApartBase = NodeId{1} << 62;

  // Adds `shift` to every id of `nodes` and to every dependency from `from`
  // on; smaller dependencies name nodes that keep their ids. Unsigned
  // arithmetic wraps, so a shift can also take away.
  static void shift_ids(std::span<Node> nodes, NodeId from, NodeId shift);
  // The same for the dependencies alone, and for the ids in `sinks`.
  static void shift_dependencies(std::span<Node> nodes, NodeId from, NodeId shift);
  static void shift_sinks(std::vector<NodeId>& sinks, NodeId shift);

  // Appends an own node depending on `dependencies` and makes it the node
  // added last.
  Graph& append(NodeFunction function, std::optional<std::string> label,
                std::vector<NamePair> inputs, std::vector<NamePair> outputs, NodeSettings settings,
                node::DependencyList dependencies);

  // The nodes no other node depends on, in node-list order.
  node::DependencyList sinks() const;

  // Moves the attached nodes out of `nodes_` into `attached_`, numbered from
  // `kApartBase` there, so that own nodes can be added after them.
  void split();

  // Makes `nodes_` the whole list in build order, numbered 0, 1, 2, ...,
  // with `parents_` beside it.
  void flatten();

  // This builder's own nodes first (`own_count_` of them, numbered in the
  // order added). Until an own node is added after a `branch`, the nodes of
  // every attached subgraph follow them here, already numbered as `build`
  // lists them, so that building a graph made of adds and then branches
  // moves and renumbers nothing.
  std::vector<Node> nodes_;
  // Beside `nodes_`, the position of each node's one dependency (builders
  // make at most one), or `no_parent`: what ordering needs, without reading
  // the nodes again.
  std::vector<NodeId> parents_;
  // Once an own node has followed a `branch`, the attached nodes instead.
  std::vector<Node> attached_;
  std::size_t own_count_ = 0;
  // The attached nodes no node depends on yet, numbered as they are now,
  // in node-list order.
  std::vector<NodeId> attached_sinks_;
  // Whether some node depends on a node other than the one before it in
  // the sense of `parents_`: then `parents_` cannot describe the graph and
  // building falls back to ordering the nodes themselves.
  bool joined_ = false;
  // Whether a branch with nodes hangs from `last_node_`.
  bool last_has_child_ = false;
  std::optional<NodeId> last_node_;
  std::optional<NodeId> branch_point_;
  BranchId next_branch_id_ = 1;
};

}  // namespace corvane::builder
