#pragma once

#include <memory>
#include <utility>

namespace corvane::node {

// Thrown by a node function to end the whole run on purpose (for example
// when the user interrupts it). The engine carries it out of the run
// unchanged; only the thrower and the catcher know what the payload is.
class RunStop {
 public:
  // How the nodes running beside the one that stops are treated: an
  // interrupt leaves them to finish in the background and ends the run at
  // once; a failure that stops the run waits for them, so that theirs are
  // known too. Either way no further node starts.
  enum class Running { left, awaited };

  explicit RunStop(std::shared_ptr<void> payload, Running running = Running::left) noexcept
      : payload_(std::move(payload)), running_(running) {}

  const std::shared_ptr<void>& payload() const noexcept { return payload_; }
  Running running() const noexcept { return running_; }

 private:
  std::shared_ptr<void> payload_;
  Running running_;
};

}  // namespace corvane::node
