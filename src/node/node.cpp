#include "node/node.hpp"

#include <utility>

namespace corvane::node {

namespace {

thread_local const Node* current_node = nullptr;

// Makes a node the running one for the length of its function's call.
class RunningNode {
 public:
  explicit RunningNode(const Node& node) noexcept : outer_(std::exchange(current_node, &node)) {}
  ~RunningNode() { current_node = outer_; }
  RunningNode(const RunningNode&) = delete;
  RunningNode& operator=(const RunningNode&) = delete;

 private:
  const Node* outer_;
};

}  // namespace

const Node* running_node() noexcept {
  return current_node;
}

Node::Node(NodeId id, NodeFunction function, std::optional<std::string> label, NameMap inputs,
           NameMap outputs)
    : id(id),
      label(std::move(label)),
      function(std::move(function)),
      inputs(std::move(inputs)),
      outputs(std::move(outputs)) {}

Context Node::execute(const Context& context) const {
  return execute_with([&context](const std::string& name) -> const GraphData* {
    auto found = context.find(name);
    return found == context.end() ? nullptr : &found->second;
  });
}

Context Node::call(Context arguments) const {
  Context result;
  {
    const RunningNode running(*this);
    result = function(arguments, variant_params);
  }

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
