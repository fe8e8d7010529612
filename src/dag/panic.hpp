#pragma once

#include <stdexcept>

namespace corvane::dag {

// An unrecoverable failure that ends the current call (not the process),
// carrying its message, e.g. "a scoped thread panicked".
class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace corvane::dag
