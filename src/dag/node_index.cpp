#include "dag/node_index.hpp"

#include <algorithm>

namespace corvane::dag {

NodeIndex::NodeIndex(const std::vector<Node>& nodes) {
  NodeId largest = 0;
  for (const Node& node : nodes) largest = std::max(largest, node.id);
  dense_ = nodes.empty() || largest / 4 < nodes.size();
  if (dense_) {
    table_.assign(nodes.empty() ? 0 : largest + 1, npos);
  } else {
    sparse_.reserve(nodes.size());
  }

  for (std::size_t position = 0; position < nodes.size(); ++position) {
    const NodeId id = nodes[position].id;
    bool first_with_id;
    if (dense_) {
      first_with_id = table_[id] == npos;
      if (first_with_id) table_[id] = position;
    } else {
      first_with_id = sparse_.try_emplace(id, position).second;
    }
    ids_unique_ = ids_unique_ && first_with_id;
  }
}

}  // namespace corvane::dag
