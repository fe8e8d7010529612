#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "dag/dag.hpp"

namespace corvane::dag {

// Which nodes' writes a node can read, one per way of running a graph: every
// node before it in the execution order (sequential runs), the nodes of
// earlier levels (level-parallel runs), or the nodes it depends on, directly
// or not (dataflow runs).
enum class Visibility { earlier_in_order, earlier_levels, ancestors };

// Something in a graph that makes a run read a value nobody gave it, or
// read a value whose writer depends on timing.
struct GraphProblem {
  // `missing_input`: `node` reads `name` (a name of its inputs mapping) and
  // no node it can see writes it, nor is it an input of the run. `race`:
  // two or more nodes of one level write `name` (only with
  // `earlier_levels`).
  enum class Kind { missing_input, race } kind;
  Position node;                  // the reader, or the race's first writer in node-list order
  std::string name;               // the name read or written
  std::vector<Position> writers;  // a race's writers in node-list order; empty for a missing input
  std::size_t level = 0;          // a race's level
};

// Finds every problem that a run starting with the names `input_names` would
// meet with `visibility`. When `runs` is not empty it holds a flag per
// position of `dag.nodes()`, and only the flagged nodes run: the others
// neither read nor write. Nodes left out of the execution order are ignored.
// A read whose implementation name is among the node's `optional_inputs` is
// never missing.
//
// Problems come in a fixed order: by the place of their node in the
// execution order, a node's missing inputs before its races, each in the
// order of the node's mapping.
//
// Time and memory are linear in nodes, dependencies and names for the first
// two visibilities and for graphs without joins; below a join, reads of names
// not written on the node's first-dependency path cost one pass over the
// stretch of the order between their first writer and their reader per 64
// such names.
std::vector<GraphProblem> check_graph(const Dag& dag, std::span<const std::string> input_names,
                                      Visibility visibility, std::span<const bool> runs = {});

}  // namespace corvane::dag
