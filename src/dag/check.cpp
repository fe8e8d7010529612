#include "dag/check.hpp"

#include <algorithm>
#include <tuple>

#include "dag/check_state.hpp"

namespace corvane::dag {

namespace {

using checking::Access;
using checking::CheckState;
using checking::NameId;
using checking::npos;

// Node after node: a read is missing when no node before it wrote it.
void check_in_order(CheckState& state) {
  std::vector<bool> written = state.given;
  for (std::size_t index = 0; index < state.order.size(); ++index) {
    for (Access read : state.accesses.reads_of(index))
      if (!written[read.name]) state.add_missing(index, read);
    for (Access write : state.accesses.writes_of(index)) written[write.name] = true;
  }
}

// Finds the names that two or more nodes of one level write, one level at a
// time; its memory is reused from level to level.
class RaceFinder {
 public:
  explicit RaceFinder(std::size_t names) : counts_(names) {}

  // One race per name written by two or more nodes of the level, naming
  // every writer in node-list order; a node that writes a name twice counts
  // once.
  void find(CheckState& state, std::size_t level, std::span<const Position> positions) {
    writes_.clear();
    for (Position position : positions) {
      const std::size_t index = state.index_in_order[position];
      for (Access write : state.accesses.writes_of(index)) {
        Count& count = counts_[write.name];
        if (count.level != level) count = {level, 0, npos};
        if (count.last_writer != index) {
          ++count.writers;
          count.last_writer = index;
        }
        writes_.push_back({write.name, position, write.place});
      }
    }
    std::erase_if(writes_, [&](const Write& write) { return counts_[write.name].writers < 2; });
    std::ranges::sort(writes_, [](const Write& a, const Write& b) {
      return std::tie(a.name, a.position, a.place) < std::tie(b.name, b.position, b.place);
    });
    for (auto group = writes_.begin(); group != writes_.end();) {
      const auto end = std::find_if(group, writes_.end(),
                                    [&](const Write& write) { return write.name != group->name; });
      std::vector<Position> writers;
      for (auto write = group; write != end; ++write)
        if (writers.empty() || writers.back() != write->position)
          writers.push_back(write->position);
      state.add_race(group->name, group->place, std::move(writers), level);
      group = end;
    }
  }

 private:
  // How many distinct nodes of `level` write a name.
  struct Count {
    std::size_t level = npos;
    std::size_t writers = 0;
    std::size_t last_writer = npos;
  };
  struct Write {
    NameId name;
    Position position;
    std::uint32_t place;
  };
  std::vector<Count> counts_;  // per name
  std::vector<Write> writes_;  // the current level's
};

// Level after level: a read is missing when no earlier level wrote it, and
// names written by two nodes of one level race.
void check_levels(CheckState& state) {
  std::vector<bool> written = state.given;
  RaceFinder races(state.names.size());
  for (std::size_t level = 0; level < state.dag.level_count(); ++level) {
    const std::span<const Position> positions = state.dag.level_positions(level);
    for (Position position : positions) {
      const std::size_t index = state.index_in_order[position];
      for (Access read : state.accesses.reads_of(index))
        if (!written[read.name]) state.add_missing(index, read);
    }
    if (positions.size() > 1) races.find(state, level, positions);
    for (Position position : positions)
      for (Access write : state.accesses.writes_of(state.index_in_order[position]))
        written[write.name] = true;
  }
}

}  // namespace

std::vector<GraphProblem> check_graph(const Dag& dag, std::span<const std::string> input_names,
                                      Visibility visibility, std::span<const bool> runs) {
  CheckState state(dag, input_names, runs);
  switch (visibility) {
    case Visibility::earlier_in_order:
      check_in_order(state);
      break;
    case Visibility::earlier_levels:
      check_levels(state);
      break;
    case Visibility::ancestors:
      checking::check_ancestry(state);
      break;
  }
  return std::move(state).sorted_problems();
}

}  // namespace corvane::dag
