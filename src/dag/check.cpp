#include "dag/check.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string_view>
#include <tuple>
#include <unordered_map>

namespace corvane::dag {

namespace {

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

// A problem with the key that sorts it into place: its node's index in the
// order, reads before writes, then the place in the node's mapping.
struct Found {
  std::size_t order_index;
  int phase;
  std::uint32_t place;
  GraphProblem problem;

  auto key() const { return std::tie(order_index, phase, place); }
};

// The state shared by the three ways of checking: the graph's names and
// accesses, where each node sits in the order, the names given as inputs,
// and the problems found so far.
class Checker {
 public:
  Checker(const Dag& dag, std::span<const std::string> input_names, std::span<const bool> runs)
      : dag_(dag),
        order_(dag.order_positions()),
        accesses_(collect_accesses(dag, runs, names_)),
        order_index_(dag.nodes().size(), npos),
        given_(names_.size(), false) {
    for (std::size_t index = 0; index < order_.size(); ++index) order_index_[order_[index]] = index;
    for (const std::string& name : input_names) {
      const NameId id = names_.find(name);
      if (id != NameTable::none) given_[id] = true;
    }
  }

  // Node after node: a read is missing when no node before it wrote it.
  void check_in_order() {
    std::vector<bool> written = given_;
    for (std::size_t index = 0; index < order_.size(); ++index) {
      for (Access read : accesses_.reads_of(index))
        if (!written[read.name]) add_missing(index, read);
      for (Access write : accesses_.writes_of(index)) written[write.name] = true;
    }
  }

  // Level after level: a read is missing when no earlier level wrote it, and
  // names written by two nodes of one level race.
  void check_levels() {
    std::vector<bool> written = given_;
    LevelWriters writers(names_.size());
    for (std::size_t level = 0; level < dag_.level_count(); ++level) {
      const std::span<const Position> positions = dag_.level_positions(level);
      for (Position position : positions)
        for (Access read : accesses_.reads_of(order_index_[position]))
          if (!written[read.name]) add_missing(order_index_[position], read);
      if (positions.size() > 1) add_races(level, positions, writers);
      for (Position position : positions)
        for (Access write : accesses_.writes_of(order_index_[position])) written[write.name] = true;
    }
  }

  void check_ancestors();

  std::vector<GraphProblem> sorted_problems() && {
    std::ranges::sort(found_, [](const Found& a, const Found& b) { return a.key() < b.key(); });
    std::vector<GraphProblem> problems;
    problems.reserve(found_.size());
    for (Found& found : found_) problems.push_back(std::move(found.problem));
    return problems;
  }

 private:
  // Per name, how many distinct nodes of the current level write it.
  struct LevelWriters {
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
    explicit LevelWriters(std::size_t names) : counts(names) {}
    std::vector<Count> counts;
    std::vector<Write> writes;  // the current level's, reused
  };

  void add_missing(std::size_t order_index, Access read) {
    found_.push_back({order_index, 0, read.place,
                      GraphProblem{GraphProblem::Kind::missing_input,
                                   order_[order_index],
                                   std::string(names_.spelled(read.name)),
                                   {},
                                   0}});
  }

  void add_races(std::size_t level, std::span<const Position> positions, LevelWriters& writers);

  // Ancestry: the dependencies of each node in the order, as order indices.
  struct Dependencies {
    std::vector<std::size_t> start{0};
    std::vector<std::size_t> entries;
    std::span<const std::size_t> of(std::size_t index) const {
      return {entries.data() + start[index], start[index + 1] - start[index]};
    }
  };
  struct Deferred {
    std::size_t order_index;
    Access read;
  };
  Dependencies dependencies() const;
  std::vector<Deferred> check_tree_paths(const Dependencies& dependencies);
  void check_beyond_tree_paths(const Dependencies& dependencies, std::vector<Deferred> deferred);
  void check_batch(const Dependencies& dependencies, std::span<const Deferred> batch,
                   std::span<const std::size_t> first_writer,
                   std::vector<std::uint64_t>& written_here_or_above,
                   std::vector<std::uint64_t>& bit_of);

  const Dag& dag_;
  std::span<const Position> order_;
  NameTable names_;
  Accesses accesses_;
  std::vector<std::size_t> order_index_;  // position -> index in the order, or npos
  std::vector<bool> given_;               // per name
  std::vector<Found> found_;
};

// One problem per name written by two or more nodes of the level, naming
// every writer in node-list order; a node that writes a name twice counts once.
void Checker::add_races(std::size_t level, std::span<const Position> positions,
                        LevelWriters& writers) {
  writers.writes.clear();
  for (Position position : positions) {
    const std::size_t index = order_index_[position];
    for (Access write : accesses_.writes_of(index)) {
      LevelWriters::Count& count = writers.counts[write.name];
      if (count.level != level) count = {level, 0, npos};
      if (count.last_writer != index) {
        ++count.writers;
        count.last_writer = index;
      }
      writers.writes.push_back({write.name, position, write.place});
    }
  }
  std::erase_if(writers.writes, [&](const LevelWriters::Write& write) {
    return writers.counts[write.name].writers < 2;
  });
  std::ranges::sort(writers.writes, [](const auto& a, const auto& b) {
    return std::tie(a.name, a.position, a.place) < std::tie(b.name, b.position, b.place);
  });
  for (auto group = writers.writes.begin(); group != writers.writes.end();) {
    const auto end = std::find_if(group, writers.writes.end(),
                                  [&](const auto& write) { return write.name != group->name; });
    std::vector<Position> positions_of_name;
    for (auto write = group; write != end; ++write)
      if (positions_of_name.empty() || positions_of_name.back() != write->position)
        positions_of_name.push_back(write->position);
    found_.push_back({order_index_[group->position], 1, group->place,
                      GraphProblem{GraphProblem::Kind::race, group->position,
                                   std::string(names_.spelled(group->name)),
                                   std::move(positions_of_name), level}});
    group = end;
  }
}

Checker::Dependencies Checker::dependencies() const {
  Dependencies dependencies;
  dependencies.start.reserve(order_.size() + 1);
  for (Position position : order_) {
    for (NodeId id : dag_.nodes()[position].dependencies)
      dependencies.entries.push_back(order_index_[dag_.position_of(id)]);
    dependencies.start.push_back(dependencies.entries.size());
  }
  return dependencies;
}

// By ancestry. Each node's first dependency makes the graph a forest; a walk
// of it keeps, per name, how many nodes on the path from the root write it,
// which answers every read of a name written on that path in constant time.
// The path holds all of a node's ancestors unless the node or one on its
// path has more dependencies (a join): reads there that the path does not
// answer are settled by `check_beyond_tree_paths`.
void Checker::check_ancestors() {
  const Dependencies all = dependencies();
  check_beyond_tree_paths(all, check_tree_paths(all));
}

std::vector<Checker::Deferred> Checker::check_tree_paths(const Dependencies& dependencies) {
  const std::size_t count = order_.size();
  // Children on the forest, threaded through in order.
  std::vector<std::size_t> next_child(count, npos);
  std::vector<std::size_t> next_sibling(count, npos);
  std::vector<std::size_t> roots;
  for (std::size_t index = count; index-- > 0;) {
    const std::span<const std::size_t> own = dependencies.of(index);
    if (own.empty()) {
      roots.push_back(index);
    } else {
      next_sibling[index] = next_child[own[0]];
      next_child[own[0]] = index;
    }
  }

  std::vector<std::uint32_t> writers_on_path(names_.size(), 0);
  for (NameId name = 0; name < names_.size(); ++name) writers_on_path[name] = given_[name];
  std::size_t joins_on_path = 0;
  std::vector<Deferred> deferred;
  const auto is_join = [&](std::size_t index) {
    const std::span<const std::size_t> own = dependencies.of(index);
    return std::ranges::any_of(own, [&](std::size_t dependency) { return dependency != own[0]; });
  };
  const auto enter = [&](std::size_t index) {
    joins_on_path += is_join(index);
    for (Access read : accesses_.reads_of(index)) {
      if (writers_on_path[read.name] != 0) continue;
      if (joins_on_path == 0)
        add_missing(index, read);
      else
        deferred.push_back({index, read});
    }
    for (Access write : accesses_.writes_of(index)) ++writers_on_path[write.name];
  };
  const auto leave = [&](std::size_t index) {
    for (Access write : accesses_.writes_of(index)) --writers_on_path[write.name];
    joins_on_path -= is_join(index);
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

// Reads below joins that the first-dependency path does not answer. A read
// that nothing earlier in the order writes is missing outright; the others
// are settled 64 names at a time, by carrying per node one bit per name
// ("an ancestor writes it") through the stretch of the order between the
// names' first writer and their last reader. Names are batched in order of
// their last reader, so that batches of nearby reads walk nearby stretches.
void Checker::check_beyond_tree_paths(const Dependencies& dependencies,
                                      std::vector<Deferred> deferred) {
  if (deferred.empty()) return;
  std::vector<std::size_t> first_writer(names_.size(), npos);
  for (std::size_t index = order_.size(); index-- > 0;)
    for (Access write : accesses_.writes_of(index)) first_writer[write.name] = index;
  std::erase_if(deferred, [&](const Deferred& read) {
    if (first_writer[read.read.name] < read.order_index) return false;
    add_missing(read.order_index, read.read);
    return true;
  });

  // Names by last reader, each name's reads side by side.
  std::vector<std::size_t> last_reader(names_.size(), 0);
  for (const Deferred& read : deferred)
    last_reader[read.read.name] = std::max(last_reader[read.read.name], read.order_index);
  std::ranges::sort(deferred, [&](const Deferred& a, const Deferred& b) {
    return std::tie(last_reader[a.read.name], a.read.name) <
           std::tie(last_reader[b.read.name], b.read.name);
  });

  std::vector<std::uint64_t> written_here_or_above(order_.size(), 0);
  std::vector<std::uint64_t> bit_of(names_.size(), 0);
  for (auto begin = deferred.begin(); begin != deferred.end();) {
    auto end = begin;
    for (std::size_t names = 0; end != deferred.end(); ++end) {
      if (end != begin && end->read.name == std::prev(end)->read.name) continue;
      if (names++ == 64) break;
    }
    check_batch(dependencies, {begin, end}, first_writer, written_here_or_above, bit_of);
    begin = end;
  }
}

// One batch of at most 64 names: `bit_of` gives each its bit, and
// `written_here_or_above` collects per node the bits of the names that it or
// an ancestor writes, from the batch's first writer on. Nodes before that
// write none of the names, nor do their ancestors.
void Checker::check_batch(const Dependencies& dependencies, std::span<const Deferred> batch,
                          std::span<const std::size_t> first_writer,
                          std::vector<std::uint64_t>& written_here_or_above,
                          std::vector<std::uint64_t>& bit_of) {
  std::uint64_t next_bit = 1;
  std::size_t first = npos;
  std::size_t last = 0;
  for (const Deferred& read : batch) {
    if (bit_of[read.read.name] == 0) {
      bit_of[read.read.name] = next_bit;
      next_bit <<= 1;
      first = std::min(first, first_writer[read.read.name]);
    }
    last = std::max(last, read.order_index);
  }
  const auto from_dependencies = [&](std::size_t index) {
    std::uint64_t bits = 0;
    for (std::size_t dependency : dependencies.of(index))
      if (dependency >= first) bits |= written_here_or_above[dependency];
    return bits;
  };
  for (std::size_t index = first; index < last; ++index) {
    std::uint64_t bits = from_dependencies(index);
    for (Access write : accesses_.writes_of(index)) bits |= bit_of[write.name];
    written_here_or_above[index] = bits;
  }
  for (const Deferred& read : batch)
    if ((from_dependencies(read.order_index) & bit_of[read.read.name]) == 0)
      add_missing(read.order_index, read.read);
  for (const Deferred& read : batch) bit_of[read.read.name] = 0;
}

}  // namespace

std::vector<GraphProblem> check_graph(const Dag& dag, std::span<const std::string> input_names,
                                      Visibility visibility, std::span<const bool> runs) {
  Checker checker(dag, input_names, runs);
  switch (visibility) {
    case Visibility::earlier_in_order:
      checker.check_in_order();
      break;
    case Visibility::earlier_levels:
      checker.check_levels();
      break;
    case Visibility::ancestors:
      checker.check_ancestors();
      break;
  }
  return std::move(checker).sorted_problems();
}

}  // namespace corvane::dag
