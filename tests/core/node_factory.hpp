#pragma once

// Hand-made nodes for tests that build a `Dag` directly, without a builder.

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dag/dag.hpp"
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

// One node of a hand-made graph and what its function does with its inputs.
struct Step {
  NodeFields fields;
  std::function<node::Context(const node::Context& inputs)> body = [](const node::Context&) {
    return node::Context{};
  };
};

// A graph of those nodes, built with the general construction.
inline dag::Dag dag_of(std::vector<Step> steps) {
  std::vector<node::Node> nodes;
  for (Step& step : steps)
    nodes.push_back(make_node(std::move(step.fields),
                              node::NodeFunction([body = std::move(step.body)](
                                                     const node::Context& in,
                                                     const node::Context&) { return body(in); })));
  return dag::Dag(std::move(nodes));
}

}  // namespace corvane::testing
