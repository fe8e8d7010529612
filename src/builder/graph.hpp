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
using node::NodeSettings;

// Builds a graph as a chain of nodes with subgraphs hanging side by side from
// it. Used by one thread at a time; no operation fails.
class Graph {
 public:
  Graph() = default;
  // Lets go of nested subgraphs one level at a time, not by recursion.
  ~Graph();
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
  // and dependencies, however deep subgraphs nest.
  dag::Dag build() &&;

  // Calls `visit` on every node this builder owns, attached subgraphs
  // included, depth first; stops at the first call that returns false and
  // then returns false itself. Walks nested subgraphs with a list, not by
  // recursion, so that any depth of nesting fits on the stack.
  template <class Visit>
  bool for_each_node(Visit&& visit) const {
    std::vector<const Graph*> pending{this};
    while (!pending.empty()) {
      const Graph* graph = pending.back();
      pending.pop_back();
      for (const Node& owned : graph->nodes_)
        if (!visit(owned)) return false;
      for (const Graph& kept : graph->kept_) pending.push_back(&kept);
    }
    return true;
  }

 private:
  static constexpr NodeId no_parent = dag::Dag::no_parent;
  // Ids that name nodes of other lists until the graph is built. Own ids
  // and placed ids count from 0. Once attached subgraphs are kept apart,
  // the attached node that `build` lists at `own_count_ + k` is named
  // `kApartBase + k`, since own nodes may still be added in front of it.
  // And a kept subgraph names a node of the builder it hangs from as
  // `kOuterBase + id`. No id gets this far, so an id tells by its size
  // which kind it is.
  static constexpr NodeId kApartBase = NodeId{1} << 62;
  static constexpr NodeId kOuterBase = NodeId{1} << 63;

  // Appends an own node depending on `dependencies` and makes it the node
  // added last.
  Graph& append(NodeFunction function, std::optional<std::string> label,
                std::vector<NamePair> inputs, std::vector<NamePair> outputs, NodeSettings settings,
                node::DependencyList dependencies);

  // The nodes no other node depends on, in node-list order.
  node::DependencyList sinks() const;

  std::size_t node_count() const noexcept { return own_count_ + attached_count_; }
  // Where `build` lists the node that `id` names now, counting from this
  // builder's first node.
  NodeId listed_position(NodeId id) const noexcept {
    return id >= kApartBase ? own_count_ + (id - kApartBase) : id;
  }
  // Gives `node`, one of `nodes_`, the ids it takes when this builder's
  // first node is numbered `first_id` and the outer builder's `outer_first_id`.
  void renumber(Node& node, NodeId first_id, NodeId outer_first_id) const noexcept;

  // Marks this builder's own nodes as branch `branch_id`, its first node
  // hanging from the outer builder's node `branch_point`.
  void hang_from(NodeId branch_point, BranchId branch_id);
  // Moves the nodes of `subgraph`, which has no attached nodes, to the end
  // of `nodes_`, numbered as `build` lists them.
  void place(Graph& subgraph);
  // Keeps `subgraph` as it is, to be numbered only by `build`.
  void keep_apart(Graph subgraph);
  // Turns the placed nodes into a kept subgraph of their own, so that own
  // nodes can be added after them.
  void split();

  // This builder's own nodes first (`own_count_` of them, numbered in the
  // order added). While no subgraph is kept apart, the nodes of attached
  // subgraphs made of own nodes alone follow, placed: already numbered as
  // `build` lists them, so that building a graph made of adds and then
  // such branches (a chain, a fan-out) moves and renumbers nothing.
  std::vector<Node> nodes_;
  // Beside `nodes_`, the position of each node's one dependency (builders
  // make at most one), or `no_parent`: what ordering needs, without reading
  // the nodes again.
  std::vector<NodeId> parents_;
  std::size_t own_count_ = 0;
  // The attached subgraphs kept apart, as they came: each is renumbered
  // once, by `build`, so that attaching a graph that has attached nodes of
  // its own costs the same however large it is, and nesting graphs level
  // upon level stays linear.
  std::vector<Graph> kept_;
  // How many nodes are attached, placed or not, nested ones included.
  std::size_t attached_count_ = 0;
  // Once this builder is kept apart in another: where its first node comes
  // among the other's attached nodes.
  std::size_t first_attached_position_ = 0;
  // The placed nodes no node depends on yet, in node-list order. Kept
  // subgraphs hold their own.
  std::vector<NodeId> placed_sinks_;
  // The kept subgraphs from this position on have sinks that no join has
  // taken yet.
  std::size_t first_unjoined_kept_ = 0;
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
