// Times the core on graphs of no-op nodes from a thousand to a million nodes:
// building the DAG, rendering it as Mermaid text and, for chains, running it
// node after node. Times are per node, so linear work reads as a flat column
// and anything worse shows as a column that climbs with the size.
//
// "build" is the builder's build (merging branches, then ordering and
// levelling) for shapes made with the builder, and the DAG construction
// alone for shapes whose dependency lists are written by hand. A last row
// times plain hash-set and text work of the same size, to show how much of
// the growth the machine's caches add by themselves. A second table times the
// check for missing inputs and races of each way of running, on the same
// shapes and on a chain of diamonds whose joins read what both sides wrote.
//
// Usage: corvane_core_bench [largest size, default 1000000]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "builder/graph.hpp"
#include "dag/check.hpp"
#include "dag/dag.hpp"

namespace {

using corvane::builder::Graph;
using corvane::dag::Dag;
using corvane::dag::Visibility;
using corvane::node::Node;
using corvane::node::NodeFunction;
using corvane::node::NodeId;
using Clock = std::chrono::steady_clock;

// A graph ready to be built: either a builder, or nodes made by hand for
// shapes the builder cannot express.
struct Assembled {
  std::optional<Graph> graph;
  std::vector<Node> nodes;

  Dag build() { return graph ? std::move(*graph).build() : Dag(std::move(nodes)); }
};

// Every node reads "v" and writes it, so every edge carries a label.
Graph& add_node(Graph& graph) {
  return graph.add(NodeFunction::noop(), std::nullopt, {{"v", "in"}}, {{"out", "v"}});
}

Node hand_made(NodeId id, std::vector<NodeId> dependencies) {
  using Pairs = std::vector<corvane::node::NamePair>;
  Node made(id, NodeFunction::noop(), std::nullopt, corvane::node::NameMap(Pairs{{"v", "in"}}),
            corvane::node::NameMap(Pairs{{"out", "v"}}));
  made.dependencies = corvane::node::DependencyList(dependencies);
  return made;
}

Assembled chain(std::size_t count) {
  Graph graph;
  for (std::size_t i = 0; i < count; ++i) add_node(graph);
  return {std::move(graph), {}};
}

// One root with every other node attached as a one-node branch.
Assembled fan_out_branches(std::size_t count) {
  Graph graph;
  add_node(graph);
  for (std::size_t i = 1; i < count; ++i) {
    Graph child;
    add_node(child);
    graph.branch(std::move(child));
  }
  return {std::move(graph), {}};
}

// One root and children whose dependency lists name it.
Assembled fan_out_dependencies(std::size_t count) {
  std::vector<Node> nodes;
  nodes.reserve(count);
  nodes.push_back(hand_made(0, {}));
  for (NodeId id = 1; id < count; ++id) nodes.push_back(hand_made(id, {0}));
  return {std::nullopt, std::move(nodes)};
}

// A fan-out closed by one sink whose dependency list names every child.
Assembled fan_out_fan_in(std::size_t count) {
  Assembled assembled = fan_out_dependencies(count - 1);
  std::vector<NodeId> children;
  for (NodeId id = 1; id + 1 < count; ++id) children.push_back(id);
  assembled.nodes.push_back(hand_made(count - 1, std::move(children)));
  return assembled;
}

// Diamonds one after the other: a fork, two sides writing names of their
// own, and a join reading both, which the next fork follows.
Assembled diamonds(std::size_t count) {
  using Pairs = std::vector<corvane::node::NamePair>;
  std::vector<Node> nodes;
  nodes.reserve(count);
  const auto add = [&](std::vector<NodeId> dependencies, Pairs inputs, Pairs outputs) {
    Node made(nodes.size(), NodeFunction::noop(), std::nullopt,
              corvane::node::NameMap(std::move(inputs)),
              corvane::node::NameMap(std::move(outputs)));
    made.dependencies = corvane::node::DependencyList(dependencies);
    nodes.push_back(std::move(made));
  };
  add({}, {}, {{"out", "v"}});
  while (nodes.size() + 3 <= count) {
    const NodeId fork = nodes.size() - 1;
    const std::string number = std::to_string(fork);
    const std::string left = std::string("l").append(number);
    const std::string right = std::string("r").append(number);
    add({fork}, {{"v", "in"}}, {{"out", left}});
    add({fork}, {{"v", "in"}}, {{"out", right}});
    add({fork + 1, fork + 2}, {{left, "a"}, {right, "b"}}, {{"out", "v"}});
  }
  while (nodes.size() < count) add({nodes.size() - 1}, {{"v", "in"}}, {{"out", "v"}});
  return {std::nullopt, std::move(nodes)};
}

struct Shape {
  const char* name;
  Assembled (*assemble)(std::size_t);
  bool execute;  // also time a sequential run
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Row {
  double build = 1e300, mermaid = 1e300, execute = -1;  // best seconds per node
};

// Best of several repetitions: the machine is shared, and the fastest run is
// the one least disturbed by others.
Row measure(const Shape& shape, std::size_t count) {
  const std::size_t repetitions = std::clamp<std::size_t>(2'000'000 / count, 2, 100);
  Row row;
  std::size_t text_size = 0;
  for (std::size_t r = 0; r < repetitions; ++r) {
    Assembled assembled = shape.assemble(count);
    auto start = Clock::now();
    const Dag dag = assembled.build();
    row.build = std::min(row.build, seconds_since(start) / count);
    if (dag.execution_order().size() != count) std::abort();

    start = Clock::now();
    const std::string text = dag.to_mermaid();
    row.mermaid = std::min(row.mermaid, seconds_since(start) / count);
    text_size += text.size();

    if (shape.execute) {
      start = Clock::now();
      const auto context = dag.execute(false, std::nullopt);
      const double per_node = seconds_since(start) / count;
      row.execute = row.execute < 0 ? per_node : std::min(row.execute, per_node);
      if (!context.empty()) std::abort();
    }
  }
  if (text_size == 0) std::abort();
  return row;
}

// Best seconds per node of a check of `dag` for each way of running, in the
// order of `Visibility`.
std::vector<double> measure_check(const Dag& dag, std::size_t count) {
  const std::size_t repetitions = std::clamp<std::size_t>(2'000'000 / count, 2, 100);
  std::vector<double> best(3, 1e300);
  for (std::size_t r = 0; r < repetitions; ++r) {
    for (int visibility = 0; visibility < 3; ++visibility) {
      const auto start = Clock::now();
      const auto problems = check_graph(dag, {}, static_cast<Visibility>(visibility));
      best[visibility] = std::min(best[visibility], seconds_since(start) / count);
    }
  }
  return best;
}

// The same kind of work as rendering, with no graph at all: one hash-set
// entry and one line of text per node. Its growth is what the machine's
// caches and allocator add by themselves as the working set outgrows them.
double reference_per_node(std::size_t count) {
  struct PairHash {
    std::size_t operator()(const std::pair<NodeId, NodeId>& edge) const noexcept {
      return std::hash<NodeId>{}(edge.first * 0x9e3779b97f4a7c15ULL ^ edge.second);
    }
  };
  const std::size_t repetitions = std::clamp<std::size_t>(2'000'000 / count, 2, 100);
  double best = 1e300;
  for (std::size_t r = 0; r < repetitions; ++r) {
    const auto start = Clock::now();
    std::unordered_set<std::pair<NodeId, NodeId>, PairHash> seen;
    std::string text;
    for (NodeId id = 1; id <= count; ++id) {
      seen.emplace(id - 1, id);
      text += "    " + std::to_string(id - 1) + " --> " + std::to_string(id) + "\n";
    }
    best = std::min(best, seconds_since(start) / count);
    if (seen.size() != count || text.empty()) std::abort();
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t largest = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  const Shape shapes[] = {
      {"chain", chain, true},
      {"fan-out (branches)", fan_out_branches, false},
      {"fan-out (dependency lists)", fan_out_dependencies, false},
      {"fan-out + fan-in", fan_out_fan_in, false},
  };

  std::printf("%-28s %9s %12s %12s %12s\n", "shape", "nodes", "build ns/n", "mermaid ns/n",
              "execute ns/n");
  for (const Shape& shape : shapes) {
    std::vector<Row> rows;
    for (std::size_t count = 1000; count <= largest; count *= 10) {
      const Row row = measure(shape, count);
      rows.push_back(row);
      char execute[32] = "-";
      if (row.execute >= 0) std::snprintf(execute, sizeof execute, "%.1f", row.execute * 1e9);
      std::printf("%-28s %9zu %12.1f %12.1f %12s\n", shape.name, count, row.build * 1e9,
                  row.mermaid * 1e9, execute);
      std::fflush(stdout);
    }
    if (rows.size() > 1) {
      const Row& first = rows.front();
      const Row& last = rows.back();
      std::printf("%-28s %9s %11.2fx %11.2fx", "  growth, largest/smallest", "",
                  last.build / first.build, last.mermaid / first.mermaid);
      if (first.execute > 0) std::printf(" %11.2fx", last.execute / first.execute);
      std::printf("\n");
    }
  }
  std::vector<double> reference;
  for (std::size_t count = 1000; count <= largest; count *= 10) {
    reference.push_back(reference_per_node(count));
    std::printf("%-28s %9zu %12s %12.1f %12s\n", "reference: hash set + text", count, "-",
                reference.back() * 1e9, "-");
  }
  if (reference.size() > 1)
    std::printf("%-28s %9s %12s %11.2fx\n", "  growth, largest/smallest", "", "",
                reference.back() / reference.front());

  std::printf("\n%-28s %9s %12s %12s %12s\n", "check ns/n", "nodes", "in order", "levels",
              "ancestry");
  std::vector<Shape> checked(std::begin(shapes), std::end(shapes));
  checked.push_back({"diamonds", diamonds, false});
  for (const Shape& shape : checked) {
    for (std::size_t count = 1000; count <= largest; count *= 10) {
      const std::vector<double> row = measure_check(shape.assemble(count).build(), count);
      std::printf("%-28s %9zu %12.1f %12.1f %12.1f\n", shape.name, count, row[0] * 1e9,
                  row[1] * 1e9, row[2] * 1e9);
      std::fflush(stdout);
    }
  }
  return 0;
}
