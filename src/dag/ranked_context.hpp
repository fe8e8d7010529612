#pragma once

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <utility>
#include <vector>

#include "graph_data/graph_data.hpp"

namespace corvane::dag {

using graph_data::Context;
using graph_data::GraphData;
using graph_data::OrderedMap;

// A context that takes node outputs in any order and comes out as if they
// had been merged in execution order: per name, the value of the writer
// latest in that order, and names in the order of their first writer (then
// of its outputs). Holds one value per name, so a value overwritten by a
// later writer, or arriving after it, is released at once.
class RankedContext {
 public:
  // Starts from `context`, whose names come first in their order and whose
  // values any writer ranked after `rank` replaces.
  RankedContext(Context context, std::size_t rank) {
    entries_.reserve(context.size());
    std::size_t slot = 0;
    for (auto& [name, value] : context)
      entries_.insert_or_assign(name, Entry{0, slot++, rank, std::move(value)});
  }

  // Merges the outputs of the writer ranked `rank`, which no other merge
  // shares, and which is above the starting rank.
  void merge(std::size_t rank, Context outputs) {
    std::size_t slot = 0;
    for (auto& [name, value] : outputs) {
      auto found = entries_.find(name);
      if (found == entries_.end()) {
        entries_.insert_or_assign(name, Entry{rank, slot++, rank, std::move(value)});
        continue;
      }
      Entry& entry = found->second;
      if (rank < entry.first) {
        entry.first = rank;
        entry.slot = slot;
      }
      if (rank > entry.last) {
        entry.last = rank;
        entry.value = std::move(value);
      }
      ++slot;
    }
  }

  Context take() && {
    std::vector<std::size_t> order(entries_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto entries = entries_.begin();
    std::ranges::sort(order, [&](std::size_t left, std::size_t right) {
      const Entry& a = entries[static_cast<std::ptrdiff_t>(left)].second;
      const Entry& b = entries[static_cast<std::ptrdiff_t>(right)].second;
      return std::pair(a.first, a.slot) < std::pair(b.first, b.slot);
    });
    Context context;
    context.reserve(order.size());
    for (std::size_t index : order) {
      auto& [name, entry] = entries[static_cast<std::ptrdiff_t>(index)];
      context.insert_or_assign(name, std::move(entry.value));
    }
    return context;
  }

 private:
  struct Entry {
    std::size_t first;  // rank of the first writer
    std::size_t slot;   // place of the name among that writer's outputs
    std::size_t last;   // rank of the writer of `value`
    GraphData value;
  };

  OrderedMap<Entry> entries_;
};

}  // namespace corvane::dag
