#pragma once

// What the graph checks share: the graph's names as numbers, what each node
// of the execution order reads and writes, and the problems found so far.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dag/check.hpp"

namespace corvane::dag::checking {

constexpr std::size_t npos = NodeIndex::npos;

using NameId = std::uint32_t;

// Names as small dense numbers, so that every pass keeps its per-name state
// in flat arrays. Holds views of the graph's and the inputs' strings, which
// outlive the check.
class NameTable {
 public:
  static constexpr NameId none = std::numeric_limits<NameId>::max();

  NameId intern(std::string_view name) {
    const auto [found, added] = ids_.try_emplace(name, static_cast<NameId>(spelled_.size()));
    if (added) spelled_.push_back(name);
    return found->second;
  }
  NameId find(std::string_view name) const {
    const auto found = ids_.find(name);
    return found == ids_.end() ? none : found->second;
  }
  std::string_view spelled(NameId id) const { return spelled_[id]; }
  std::size_t size() const noexcept { return spelled_.size(); }

 private:
  std::unordered_map<std::string_view, NameId> ids_;
  std::vector<std::string_view> spelled_;
};

// One name a node reads or writes, with its place in the node's mapping.
struct Access {
  NameId name;
  std::uint32_t place;
};

// What each node of the execution order reads and writes, by its index in
// the order, as flat lists. Nodes that do not run have neither; reads of
// optional inputs are left out, as they can never be missing.
struct Accesses {
  std::vector<std::size_t> read_start{0};   // order index -> first read; size n + 1
  std::vector<std::size_t> write_start{0};  // order index -> first write; size n + 1
  std::vector<Access> reads;
  std::vector<Access> writes;

  std::span<const Access> reads_of(std::size_t index) const {
    return {reads.data() + read_start[index], read_start[index + 1] - read_start[index]};
  }
  std::span<const Access> writes_of(std::size_t index) const {
    return {writes.data() + write_start[index], write_start[index + 1] - write_start[index]};
  }
};

// One check of one graph: what it reads, built once in time linear in the
// nodes and their names, and the problems it has found.
class CheckState {
 public:
  CheckState(const Dag& dag, std::span<const std::string> input_names, std::span<const bool> runs);

  // A read of the node at `index` in the order that nothing visible writes.
  void add_missing(std::size_t index, Access read);
  // A race on `name`, whose first writer in node-list order is `writers[0]`
  // and names it at `place` of its mapping.
  void add_race(NameId name, std::uint32_t place, std::vector<Position> writers, std::size_t level);
  // Every problem found, in the order `check_graph` promises.
  std::vector<GraphProblem> sorted_problems() &&;

  const Dag& dag;
  const std::span<const Position> order;
  NameTable names;
  const Accesses accesses;
  std::vector<std::size_t> index_in_order;  // per position, or npos
  std::vector<bool> given;                  // per name

 private:
  // A problem with the key that sorts it into place: its node's index in the
  // order, reads before writes, then the place in the node's mapping.
  struct Found {
    std::size_t index;
    int phase;
    std::uint32_t place;
    GraphProblem problem;
  };
  std::vector<Found> found_;
};

// Checks by ancestry: a node sees what the nodes it depends on, directly or
// not, write.
void check_ancestry(CheckState& state);

}  // namespace corvane::dag::checking
