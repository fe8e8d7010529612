#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

#include "node/node.hpp"

namespace corvane::dag {

using node::Node;
using node::NodeId;

// Finds the first node of a list with a given id in constant time. Built
// graphs number their nodes 0..n-1, which a plain table serves; sparse ids
// fall back to a hash map.
class NodeIndex {
 public:
  static constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();

  NodeIndex() = default;
  // Indexes the ids of a node list, in list order.
  explicit NodeIndex(std::span<const NodeId> ids);

  // Position of the first node with this id, or `npos`.
  std::size_t find(NodeId id) const {
    if (dense_) return id < table_.size() ? table_[id] : npos;
    auto found = sparse_.find(id);
    return found == sparse_.end() ? npos : found->second;
  }

  // True when no two nodes share an id.
  bool ids_unique() const noexcept { return ids_unique_; }

 private:
  bool dense_ = true;
  bool ids_unique_ = true;
  std::vector<std::size_t> table_;
  std::unordered_map<NodeId, std::size_t> sparse_;
};

}  // namespace corvane::dag
