#include "node/node_function.hpp"

namespace corvane::node {

NodeFunction NodeFunction::noop() {
  return NodeFunction([](const Context&, const Context&) { return Context{}; });
}

}  // namespace corvane::node
