#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graph_data/graph_data.hpp"
#include "node/dependency_list.hpp"
#include "node/name_map.hpp"
#include "node/node_function.hpp"

namespace corvane::node {

using BranchId = std::uint64_t;
using graph_data::GraphData;

// What a node carries besides its function, label and mappings.
struct NodeSettings {
  // Handed to every call of the function as its second argument.
  Context params;
  // Implementation names the function has defaults for: a run that lacks
  // them is not missing anything.
  std::vector<std::string> optional_inputs;
};

// One computation step: a shared function plus the name mappings that link
// the function's own names (implementation names) with the run's variable
// names (broadcast names).
struct Node {
  // Takes ownership of all five; the other fields start empty.
  Node(NodeId id, NodeFunction function, std::optional<std::string> label, NameMap inputs,
       NameMap outputs);

  // The id and the dependencies come first, side by side: ordering a graph
  // reads only these, and then reads one cache line per node, not two.
  NodeId id;
  DependencyList dependencies;
  std::optional<std::string> label;
  NodeFunction function;
  NameMap inputs;   // broadcast name -> implementation name
  NameMap outputs;  // implementation name -> broadcast name
  Context variant_params;
  std::optional<BranchId> branch_id;
  bool is_branch_entry = false;
  std::vector<std::string> optional_inputs;

  // Calls the function with the mapped inputs found in `context` and returns
  // the mapped results under broadcast names, as a new map. Names missing
  // from the context or from the result are skipped. Reads the node and the
  // context only and takes no lock, so any number of threads may call it on
  // the same node and context at once; exceptions from the function pass
  // through unchanged.
  Context execute(const Context& context) const;

  // The same call with the inputs read through `find`, which gives the value
  // under a broadcast name, or null when there is none: for runs whose nodes
  // read from something other than one `Context`. Same guarantees.
  template <class Find>
  Context execute_with(Find&& find) const {
    Context arguments;
    arguments.reserve(inputs.size());
    for (const auto& [broadcast, implementation] : inputs)
      if (const GraphData* value = find(broadcast))
        arguments.insert_or_assign(implementation, *value);
    return call(std::move(arguments));
  }

 private:
  // Calls the function with `arguments` under implementation names and maps
  // its results to broadcast names.
  Context call(Context arguments) const;
};

// The node whose function this thread is inside (the innermost one, when a
// function runs a graph itself), or null: how a node function tells which
// node it is serving, for its messages.
const Node* running_node() noexcept;

}  // namespace corvane::node
