#include "dag/node_index.hpp"

#include <algorithm>

namespace corvane::dag {

NodeIndex::NodeIndex(std::span<const NodeId> ids) {
  NodeId largest = 0;
  for (NodeId id : ids) largest = std::max(largest, id);
  kind_ = ids.empty() || largest / 4 < ids.size() ? Kind::table : Kind::hash;
  if (kind_ == Kind::table) {
    table_.assign(ids.empty() ? 0 : largest + 1, npos);
  } else {
    sparse_.reserve(ids.size());
  }

  for (std::size_t position = 0; position < ids.size(); ++position) {
    const NodeId id = ids[position];
    bool first_with_id;
    if (kind_ == Kind::table) {
      first_with_id = table_[id] == npos;
      if (first_with_id) table_[id] = position;
    } else {
      first_with_id = sparse_.try_emplace(id, position).second;
    }
    ids_unique_ = ids_unique_ && first_with_id;
  }
}

NodeIndex NodeIndex::identity(std::size_t count) {
  NodeIndex index;
  index.identity_count_ = count;
  return index;
}

}  // namespace corvane::dag
