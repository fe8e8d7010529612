#include "graph_data/host_hooks.hpp"

namespace corvane::graph_data {

namespace {
constinit const HostHooks no_hooks;
constinit std::atomic<const HostHooks*> installed_hooks{&no_hooks};
}  // namespace

void install_host_hooks(const HostHooks& hooks) {
  installed_hooks.store(&hooks, std::memory_order_release);
}

const HostHooks& host_hooks() {
  return *installed_hooks.load(std::memory_order_acquire);
}

}  // namespace corvane::graph_data
