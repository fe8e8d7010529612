#include "graph_data/host_hooks.hpp"

namespace corvane::graph_data {

namespace {
HostHooks installed_hooks;
}

void install_host_hooks(HostHooks hooks) {
  installed_hooks = hooks;
}

const HostHooks& host_hooks() {
  return installed_hooks;
}

}  // namespace corvane::graph_data
