#pragma once

#include <string>
#include <utility>
#include <vector>

namespace corvane::node {

using NamePair = std::pair<std::string, std::string>;

// A mapping from one set of variable names to another, keyed uniquely by the
// first name. Kept as a flat list because nodes walk it whole on every call
// and rarely hold more than a handful of names; its order carries no meaning.
class NameMap {
 public:
  NameMap() = default;

  // Builds the map from pairs in order; a later pair with the same first name
  // replaces the second name of the earlier one.
  explicit NameMap(std::vector<NamePair> pairs);

  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

 private:
  std::vector<NamePair> entries_;
};

}  // namespace corvane::node
