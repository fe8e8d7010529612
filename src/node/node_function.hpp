#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "graph_data/graph_data.hpp"

namespace corvane::node {

using graph_data::Context;

// The work of a node: a shared, reference-counted callable, safe to call from
// several threads at once. It takes the inputs under its own names and the
// variant parameters, and returns a new context of outputs under its own
// names. It has no failure result: a function with nothing to give returns an
// empty map. What it captures lives until the last copy of it goes.
class NodeFunction {
 public:
  using Signature = Context(const Context& inputs, const Context& params);

  // `held_object` names the host object the callable keeps alive, if any
  // (the Python callable it calls), so that the host can follow references
  // through graphs, e.g. to collect reference cycles. The function does not
  // own it through this pointer; the callable does.
  template <class Callable>
  explicit NodeFunction(Callable callable, void* held_object = nullptr)
      : impl_(std::make_shared<const Impl>(Impl{std::move(callable), held_object})) {}

  // Ignores both arguments and returns a new empty map on every call.
  static NodeFunction noop();

  Context operator()(const Context& inputs, const Context& params) const {
    return impl_->call(inputs, params);
  }

  void* held_object() const noexcept { return impl_->held_object; }

  // How many holders share this function (nodes, builders, test probes).
  long use_count() const noexcept { return impl_.use_count(); }

 private:
  struct Impl {
    std::function<Signature> call;
    void* held_object;
  };
  std::shared_ptr<const Impl> impl_;
};

}  // namespace corvane::node
