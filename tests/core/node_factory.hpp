#pragma once

// Hand-made nodes for tests that build a `Dag` directly, without a builder.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "node/node.hpp"

namespace corvane::testing {

struct NodeFields {
  node::NodeId id;
  std::vector<node::NodeId> dependencies = {};
  std::vector<node::NamePair> inputs = {};   // (broadcast, implementation)
  std::vector<node::NamePair> outputs = {};  // (implementation, broadcast)
  std::optional<std::string> label = std::nullopt;
  std::optional<node::BranchId> branch_id = std::nullopt;
  bool is_branch_entry = false;
};

inline node::Node make_node(NodeFields fields,
                            node::NodeFunction function = node::NodeFunction::noop()) {
  node::Node made(fields.id, std::move(function), std::move(fields.label),
                  node::NameMap(std::move(fields.inputs)),
                  node::NameMap(std::move(fields.outputs)));
  made.dependencies = node::DependencyList(fields.dependencies);
  made.branch_id = fields.branch_id;
  made.is_branch_entry = fields.is_branch_entry;
  return made;
}

inline std::vector<node::Node> make_nodes(std::vector<NodeFields> all_fields) {
  std::vector<node::Node> nodes;
  for (NodeFields& fields : all_fields) nodes.push_back(make_node(std::move(fields)));
  return nodes;
}

}  // namespace corvane::testing
