// The check by ancestry. Each node's first dependency makes the graph a
// forest; a walk of it keeps, per name, how many nodes on the path from the
// root write it, which answers every read of a name written on that path in
// constant time. The path holds all of a node's ancestors unless the node or
// one on its path has more dependencies (a join). Reads there that the path
// does not answer are settled afterwards, 64 names at a time, by carrying
// per node one bit per name ("it or an ancestor writes it") through the
// stretch of the order between the names' first writer and their last
// reader. Graphs without joins thus cost one walk; below joins, only the
// reads of names from other branches cost more.

#include <algorithm>
#include <iterator>
#include <tuple>

#include "dag/check_state.hpp"

namespace corvane::dag::checking {

namespace {

// The dependencies of each node of the order, as indices in the order.
struct Dependencies {
  std::vector<std::size_t> start{0};
  std::vector<std::size_t> entries;

  explicit Dependencies(const CheckState& state) {
    start.reserve(state.order.size() + 1);
    for (Position position : state.order) {
      for (NodeId id : state.dag.nodes()[position].dependencies)
        entries.push_back(state.index_in_order[state.dag.position_of(id)]);
      start.push_back(entries.size());
    }
  }
  std::span<const std::size_t> of(std::size_t index) const {
    return {entries.data() + start[index], start[index + 1] - start[index]};
  }
  // Whether the node depends on another node than its first dependency.
  bool is_join(std::size_t index) const {
    const std::span<const std::size_t> own = of(index);
    return std::ranges::any_of(own, [&](std::size_t dependency) { return dependency != own[0]; });
  }
};

// A read that the first-dependency path leaves open.
struct Deferred {
  std::size_t index;
  Access read;
};

class AncestryCheck {
 public:
  explicit AncestryCheck(CheckState& state) : state_(state), dependencies_(state) {}

  void run() { settle(walk_first_dependency_paths()); }

 private:
  std::vector<Deferred> walk_first_dependency_paths();
  void settle(std::vector<Deferred> deferred);
  void settle_batch(std::span<const Deferred> batch, std::span<const std::size_t> first_writer);

  CheckState& state_;
  const Dependencies dependencies_;
  std::vector<std::uint64_t> written_here_or_above_;  // per index in the order
  std::vector<std::uint64_t> bit_of_;                 // per name: its bit in the batch, or 0
};

std::vector<Deferred> AncestryCheck::walk_first_dependency_paths() {
  const std::size_t count = state_.order.size();
  // Children on the forest, threaded through in order.
  std::vector<std::size_t> next_child(count, npos);
  std::vector<std::size_t> next_sibling(count, npos);
  std::vector<std::size_t> roots;
  for (std::size_t index = count; index-- > 0;) {
    const std::span<const std::size_t> own = dependencies_.of(index);
    if (own.empty()) {
      roots.push_back(index);
    } else {
      next_sibling[index] = next_child[own[0]];
      next_child[own[0]] = index;
    }
  }

  std::vector<std::uint32_t> writers_on_path(state_.given.begin(), state_.given.end());
  std::size_t joins_on_path = 0;
  std::vector<Deferred> deferred;
  const auto enter = [&](std::size_t index) {
    joins_on_path += dependencies_.is_join(index);
    for (Access read : state_.accesses.reads_of(index)) {
      if (writers_on_path[read.name] != 0) continue;
      if (joins_on_path == 0)
        state_.add_missing(index, read);
      else
        deferred.push_back({index, read});
    }
    for (Access write : state_.accesses.writes_of(index)) ++writers_on_path[write.name];
  };
  const auto leave = [&](std::size_t index) {
    for (Access write : state_.accesses.writes_of(index)) --writers_on_path[write.name];
    joins_on_path -= dependencies_.is_join(index);
  };

  std::vector<std::size_t> path;
  for (auto root = roots.rbegin(); root != roots.rend(); ++root) {
    enter(*root);
    path.push_back(*root);
    while (!path.empty()) {
      const std::size_t top = path.back();
      const std::size_t child = next_child[top];
      if (child == npos) {
        leave(top);
        path.pop_back();
      } else {
        next_child[top] = next_sibling[child];
        enter(child);
        path.push_back(child);
      }
    }
  }
  return deferred;
}

// A read that nothing earlier in the order writes is missing outright; the
// others go in batches of 64 names, in order of their last reader, so that
// batches of nearby reads walk nearby stretches of the order.
void AncestryCheck::settle(std::vector<Deferred> deferred) {
  if (deferred.empty()) return;
  std::vector<std::size_t> first_writer(state_.names.size(), npos);
  for (std::size_t index = state_.order.size(); index-- > 0;)
    for (Access write : state_.accesses.writes_of(index)) first_writer[write.name] = index;
  std::erase_if(deferred, [&](const Deferred& read) {
    if (first_writer[read.read.name] < read.index) return false;
    state_.add_missing(read.index, read.read);
    return true;
  });

  // Names by last reader, each name's reads side by side.
  std::vector<std::size_t> last_reader(state_.names.size(), 0);
  for (const Deferred& read : deferred)
    last_reader[read.read.name] = std::max(last_reader[read.read.name], read.index);
  std::ranges::sort(deferred, [&](const Deferred& a, const Deferred& b) {
    return std::tie(last_reader[a.read.name], a.read.name) <
           std::tie(last_reader[b.read.name], b.read.name);
  });

  written_here_or_above_.assign(state_.order.size(), 0);
  bit_of_.assign(state_.names.size(), 0);
  for (auto begin = deferred.begin(); begin != deferred.end();) {
    auto end = begin;
    for (std::size_t names = 0; end != deferred.end(); ++end) {
      if (end != begin && end->read.name == std::prev(end)->read.name) continue;
      if (names++ == 64) break;
    }
    settle_batch({begin, end}, first_writer);
    begin = end;
  }
}

// Nodes before the batch's first writer write none of its names, nor do
// their ancestors, so the bits start there.
void AncestryCheck::settle_batch(std::span<const Deferred> batch,
                                 std::span<const std::size_t> first_writer) {
  std::uint64_t next_bit = 1;
  std::size_t first = npos;
  std::size_t last = 0;
  for (const Deferred& read : batch) {
    if (bit_of_[read.read.name] == 0) {
      bit_of_[read.read.name] = next_bit;
      next_bit <<= 1;
      first = std::min(first, first_writer[read.read.name]);
    }
    last = std::max(last, read.index);
  }
  const auto from_dependencies = [&](std::size_t index) {
    std::uint64_t bits = 0;
    for (std::size_t dependency : dependencies_.of(index))
      if (dependency >= first) bits |= written_here_or_above_[dependency];
    return bits;
  };
  for (std::size_t index = first; index < last; ++index) {
    std::uint64_t bits = from_dependencies(index);
    for (Access write : state_.accesses.writes_of(index)) bits |= bit_of_[write.name];
    written_here_or_above_[index] = bits;
  }
  for (const Deferred& read : batch)
    if ((from_dependencies(read.index) & bit_of_[read.read.name]) == 0)
      state_.add_missing(read.index, read.read);
  for (const Deferred& read : batch) bit_of_[read.read.name] = 0;
}

}  // namespace

void check_ancestry(CheckState& state) {
  AncestryCheck(state).run();
}

}  // namespace corvane::dag::checking
