#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "graph_data/graph_data.hpp"

namespace corvane::dag {

using graph_data::Context;
using graph_data::GraphData;
using graph_data::OrderedMap;

// What a node of a dataflow run sees: the run's inputs, then the outputs of
// the node's ancestors merged in execution order.
//
// A node's view is its dependency's view plus its dependency's outputs, so
// the structure follows the graph:
//
//   - A `Frame` is a flat map from name to the value last written there and
//     the rank (place in the execution order, inputs first) of its writer.
//     Values are held through shared pointers, so copying a frame copies
//     names and counts, never values.
//   - Along a chain, one thread runs the nodes one after another and writes
//     each node's outputs into the view's frame in place: nothing is copied
//     per node, and a value overwritten is let go at once.
//   - At a fork the frame becomes immutable and shared: every dependent's
//     view starts from it, and the first of them to write copies it once
//     (names and counts) into a frame of its own. The shared frame goes when
//     the last view reading it has copied it or ended, and with it every
//     value that all of them overwrote.
//   - At a join the frames of the dependencies are merged into one (one
//     copy), keeping per name the value of the writer latest in execution
//     order: every dependency's frame holds its own ancestors, so the merge
//     holds exactly the join's ancestors, and a writer they share comes with
//     the same rank and value from each.
//
// Lookups read one flat map: constant time, whatever the depth of the graph.
class View {
 public:
  struct Seen {
    std::size_t rank;
    std::shared_ptr<const GraphData> value;
  };
  using Frame = OrderedMap<Seen>;

  // A frame of everything in `context`, as written at `rank`: the inputs
  // (rank 0) or what a chain of nodes has seen and written by the end of
  // the node before `rank`. Copies each value once.
  static std::shared_ptr<const Frame> frame_of(const Context& context, std::size_t rank) {
    Frame frame;
    frame.reserve(context.size());
    for (const auto& [name, value] : context)
      frame.insert_or_assign(name, Seen{rank, std::make_shared<const GraphData>(value)});
    return std::make_shared<const Frame>(std::move(frame));
  }

  // The frames of a join's dependencies merged as described above.
  static std::shared_ptr<const Frame> join(std::span<const std::shared_ptr<const Frame>> frames) {
    const std::shared_ptr<const Frame>* largest = &frames.front();
    for (const auto& frame : frames)
      if (frame->size() > (*largest)->size()) largest = &frame;
    bool same = true;
    for (const auto& frame : frames) same = same && frame == *largest;
    if (same) return *largest;

    Frame merged(**largest);
    for (const auto& frame : frames) {
      if (frame == *largest) continue;
      for (const auto& [name, seen] : *frame) {
        auto found = merged.find(name);
        if (found == merged.end())
          merged.insert_or_assign(name, seen);
        else if (found->second.rank < seen.rank)
          found->second = seen;
      }
    }
    return std::make_shared<const Frame>(std::move(merged));
  }

  // A view reading `shared`, until its first write.
  explicit View(std::shared_ptr<const Frame> shared) : shared_(std::move(shared)) {}

  // The value a node reading `name` gets, or null.
  const GraphData* find(std::string_view name) const {
    const Frame& frame = shared_ ? *shared_ : own_;
    auto found = frame.find(name);
    return found == frame.end() ? nullptr : found->second.value.get();
  }

  // Adds the outputs of the node at `rank`, which comes after every writer
  // seen so far. Copies each value once, and the shared frame on the first
  // write.
  void write(std::size_t rank, const Context& outputs) {
    if (outputs.empty()) return;
    if (shared_) {
      own_ = *shared_;
      shared_.reset();
    }
    for (const auto& [name, value] : outputs)
      own_.insert_or_assign(name, Seen{rank, std::make_shared<const GraphData>(value)});
  }

  // This view as one frame for several readers, without a copy.
  std::shared_ptr<const Frame> freeze() && {
    if (shared_) return std::move(shared_);
    return std::make_shared<const Frame>(std::move(own_));
  }

 private:
  std::shared_ptr<const Frame> shared_;
  Frame own_;
};

}  // namespace corvane::dag
