#pragma once

#include <cstdint>
#include <unordered_map>

#include "graph_data/graph_data.hpp"
#include "graph_data/seeded_hash.hpp"
#include "node/node.hpp"

namespace corvane::dag {

using graph_data::Context;
using node::BranchId;
using node::NodeId;

// Id hash with a seed drawn per map, like the variable maps, so that no
// caller comes to rely on the order of ids in these maps.
class SeededIdHash {
 public:
  SeededIdHash() noexcept : seed_(graph_data::next_map_seed()) {}
  std::size_t operator()(std::uint64_t id) const noexcept {
    std::uint64_t mixed = (id ^ seed_) * 0x9e3779b97f4a7c15ULL;
    return static_cast<std::size_t>(mixed ^ (mixed >> 32));
  }

 private:
  std::uint64_t seed_;
};

// Everything one run produced.
struct ExecutionResult {
  // Every variable written by an executed node, with the last value merged.
  Context context;
  // A copy of each executed node's outputs, under its node id.
  std::unordered_map<NodeId, Context, SeededIdHash> node_outputs;
  // Per branch id, the union of the outputs of that branch's executed nodes.
  std::unordered_map<BranchId, Context, SeededIdHash> branch_outputs;
};

}  // namespace corvane::dag
