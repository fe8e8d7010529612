#include "node/node.hpp"

namespace corvane::node {

Node::Node(NodeId id, NodeFunction function, std::optional<std::string> label, NameMap inputs,
           NameMap outputs)
    : id(id),
      label(std::move(label)),
      function(std::move(function)),
      inputs(std::move(inputs)),
      outputs(std::move(outputs)) {}

Context Node::execute(const Context& context) const {
  Context arguments;
  arguments.reserve(inputs.size());
  for (const auto& [broadcast, implementation] : inputs) {
    auto found = context.find(broadcast);
    if (found != context.end()) arguments.insert_or_assign(implementation, found->second);
  }

  Context result = function(arguments, variant_params);

  // The result is ours alone, so its values move to their broadcast names
  // instead of being copied and then released.
  Context produced;
  for (const auto& [implementation, broadcast] : outputs) {
    auto found = result.find(implementation);
    if (found != result.end()) produced.insert_or_assign(broadcast, std::move(found->second));
  }
  return produced;
}

}  // namespace corvane::node
