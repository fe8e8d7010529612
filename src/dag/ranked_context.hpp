#pragma once

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <utility>
#include <vector>

#include "graph_data/graph_data.hpp"

namespace corvane::dag {

using graph_data::Context;

// A context that takes node outputs in any order and comes out as if they
// had been merged in execution order: per name, the value of the writer
// latest in that order, and names in the order of their first writer (then
// of its outputs). Holds one value per name, so a value overwritten by a
// later writer, or arriving after it, is released at once.
class RankedContext {
 public:
  // Starts from `context`, whose names come first in their order and whose
  // values any writer ranked after `rank` replaces.
  RankedContext(Context context, std::size_t rank) : context_(std::move(context)) {
    ranks_.reserve(context_.size());
    for (std::size_t slot = 0; slot < context_.size(); ++slot) ranks_.push_back({0, slot, rank});
  }

  // Merges the outputs of the writer ranked `rank`, which no other merge
  // shares, and which is above the starting rank.
  void merge(std::size_t rank, Context outputs) {
    std::size_t slot = 0;
    for (auto& [name, value] : outputs) {
      const std::size_t position = context_.position_of(name);
      if (position == context_.size()) {
        context_.insert_or_assign(name, std::move(value));
        ranks_.push_back({rank, slot++, rank});
        continue;
      }
      Ranks& ranks = ranks_[position];
      if (rank < ranks.first) {
        ranks.first = rank;
        ranks.slot = slot;
      }
      if (rank > ranks.last) {
        ranks.last = rank;
        (context_.begin() + static_cast<std::ptrdiff_t>(position))->second = std::move(value);
      }
      ++slot;
    }
  }

  // The context, its names reordered only when they arrived out of order.
  Context take() && {
    const auto before = [this](std::size_t left, std::size_t right) {
      return std::pair(ranks_[left].first, ranks_[left].slot) <
             std::pair(ranks_[right].first, ranks_[right].slot);
    };
    std::vector<std::size_t> order(context_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (!std::ranges::is_sorted(order, before)) {
      std::ranges::sort(order, before);
      context_.reorder(order);
    }
    return std::move(context_);
  }

 private:
  struct Ranks {
    std::size_t first;  // rank of the first writer
    std::size_t slot;   // place of the name among that writer's outputs
    std::size_t last;   // rank of the writer of the value held
  };

  Context context_;
  std::vector<Ranks> ranks_;  // by position in `context_`
};

}  // namespace corvane::dag
