#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace corvane::node {

using NodeId = std::uint64_t;

// The ids a node depends on, in the order added: a growable array that keeps
// a single id in place. Nearly every node depends on exactly one other (the
// node added before it, or its branch point), so most nodes need no memory of
// their own for the list, and a pass over many nodes' lists reads the nodes
// alone instead of one scattered allocation per node.
class DependencyList {
 public:
  DependencyList() = default;
  DependencyList(std::initializer_list<NodeId> ids) {
    for (NodeId id : ids) push_back(id);
  }
  explicit DependencyList(const std::vector<NodeId>& ids) {
    for (NodeId id : ids) push_back(id);
  }

  void push_back(NodeId id) {
    if (!spilled_.empty()) {
      spilled_.push_back(id);
    } else if (has_single_) {
      spilled_ = {single_, id};
    } else {
      single_ = id;
      has_single_ = true;
    }
  }

  std::size_t size() const noexcept { return spilled_.empty() ? has_single_ : spilled_.size(); }
  bool empty() const noexcept { return size() == 0; }

  NodeId* begin() noexcept { return spilled_.empty() ? &single_ : spilled_.data(); }
  NodeId* end() noexcept { return begin() + size(); }
  const NodeId* begin() const noexcept { return spilled_.empty() ? &single_ : spilled_.data(); }
  const NodeId* end() const noexcept { return begin() + size(); }
  const NodeId* data() const noexcept { return begin(); }
  NodeId operator[](std::size_t index) const noexcept { return begin()[index]; }

  friend bool operator==(const DependencyList& left, const DependencyList& right) {
    return left.size() == right.size() && std::equal(left.begin(), left.end(), right.begin());
  }

 private:
  std::vector<NodeId> spilled_;  // every id, once there are two or more
  NodeId single_ = 0;
  bool has_single_ = false;
};

}  // namespace corvane::node
