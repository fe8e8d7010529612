#pragma once

#include <memory>
#include <utility>

namespace corvane::node {

// Thrown by a node function to end the whole run on purpose (for example
// when the user interrupts it). The engine carries it out of the run
// unchanged; only the thrower and the catcher know what the payload is.
class RunStop {
 public:
  explicit RunStop(std::shared_ptr<void> payload) noexcept : payload_(std::move(payload)) {}

  const std::shared_ptr<void>& payload() const noexcept { return payload_; }

 private:
  std::shared_ptr<void> payload_;
};

}  // namespace corvane::node
