#include "dag/check_state.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

namespace corvane::dag::checking {

namespace {

bool is_optional(const Node& node, const std::string& implementation) {
  return std::ranges::find(node.optional_inputs, implementation) != node.optional_inputs.end();
}

Accesses collect_accesses(const Dag& dag, std::span<const bool> runs, NameTable& names) {
  Accesses accesses;
  const std::span<const Position> order = dag.order_positions();
  accesses.read_start.reserve(order.size() + 1);
  accesses.write_start.reserve(order.size() + 1);
  for (Position position : order) {
    const Node& node = dag.nodes()[position];
    if (runs.empty() || runs[position]) {
      std::uint32_t place = 0;
      for (const auto& [broadcast, implementation] : node.inputs) {
        if (!is_optional(node, implementation))
          accesses.reads.push_back({names.intern(broadcast), place});
        ++place;
      }
      place = 0;
      for (const auto& [implementation, broadcast] : node.outputs)
        accesses.writes.push_back({names.intern(broadcast), place++});
    }
    accesses.read_start.push_back(accesses.reads.size());
    accesses.write_start.push_back(accesses.writes.size());
  }
  return accesses;
}

}  // namespace

CheckState::CheckState(const Dag& dag, std::span<const std::string> input_names,
                       std::span<const bool> runs)
    : dag(dag),
      order(dag.order_positions()),
      accesses(collect_accesses(dag, runs, names)),
      index_in_order(dag.nodes().size(), npos),
      given(names.size(), false) {
  for (std::size_t index = 0; index < order.size(); ++index) index_in_order[order[index]] = index;
  for (const std::string& name : input_names) {
    const NameId id = names.find(name);
    if (id != NameTable::none) given[id] = true;
  }
}

void CheckState::add_missing(std::size_t index, Access read) {
  found_.push_back({index, 0, read.place,
                    GraphProblem{GraphProblem::Kind::missing_input,
                                 order[index],
                                 std::string(names.spelled(read.name)),
                                 {},
                                 0}});
}

void CheckState::add_race(NameId name, std::uint32_t place, std::vector<Position> writers,
                          std::size_t level) {
  const Position first = writers.front();
  found_.push_back({index_in_order[first], 1, place,
                    GraphProblem{GraphProblem::Kind::race, first, std::string(names.spelled(name)),
                                 std::move(writers), level}});
}

std::vector<GraphProblem> CheckState::sorted_problems() && {
  std::ranges::sort(found_, [](const Found& a, const Found& b) {
    return std::tie(a.index, a.phase, a.place) < std::tie(b.index, b.phase, b.place);
  });
  std::vector<GraphProblem> problems;
  problems.reserve(found_.size());
  for (Found& found : found_) problems.push_back(std::move(found.problem));
  return problems;
}

}  // namespace corvane::dag::checking
