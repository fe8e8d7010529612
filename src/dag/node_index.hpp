#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

#include "node/node.hpp"

namespace corvane::dag {

using node::Node;
using node::NodeId;

// Finds the first node of a list with a given id in constant time. Built
// graphs number their nodes by position, which needs no table at all; other
// dense ids use a plain table, and sparse ids fall back to a hash map.
class NodeIndex {
 public:
  static constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();

  NodeIndex() = default;
  // Indexes the ids of a node list, in list order.
  explicit NodeIndex(std::span<const NodeId> ids);
  // Indexes `count` nodes numbered 0, 1, 2, ... in list order, with no table.
  static NodeIndex identity(std::size_t count);

  // Position of the first node with this id, or `npos`.
  std::size_t find(NodeId id) const {
    switch (kind_) {
      case Kind::identity:
        return id < identity_count_ ? id : npos;
      case Kind::table:
        return id < table_.size() ? table_[id] : npos;
      case Kind::hash:
        break;
    }
    auto found = sparse_.find(id);
    return found == sparse_.end() ? npos : found->second;
  }

  // True when no two nodes share an id.
  bool ids_unique() const noexcept { return ids_unique_; }

 private:
  enum class Kind : std::uint8_t { identity, table, hash };
  Kind kind_ = Kind::identity;
  bool ids_unique_ = true;
  std::size_t identity_count_ = 0;
  std::vector<std::size_t> table_;
  std::unordered_map<NodeId, std::size_t> sparse_;
};

}  // namespace corvane::dag
