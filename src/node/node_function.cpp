#include "node/node_function.hpp"

namespace corvane::node {

NodeFunction NodeFunction::noop() {
  // It holds nothing, so every no-op node shares one function instead of
  // allocating its own.
  static const NodeFunction shared([](const Context&, const Context&) { return Context{}; });
  return shared;
}

}  // namespace corvane::node
