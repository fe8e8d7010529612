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
//   - A `Frame` is a flat, immutable map from name to the value last written
//     there and the rank (place in the execution order, inputs first) of its
//     writer. Values are held through shared pointers, so copying a frame
//     copies names and counts, never values.
//   - A `View` is one frame shared with others (its base) plus the writes of
//     the nodes that ran after it on one thread (its own part, which holds
//     its values itself). Along a chain the thread running it writes each
//     node's outputs into its own part in place: the view is never copied.
//   - At a fork the view is frozen into a new frame (base and own part
//     flattened, one copy of the names; the own part's values move into
//     shared pointers), which every dependent then shares as its base.
//   - At a join the frames of the dependencies are merged into one (one
//     copy), keeping per name the value of the writer latest in execution
//     order: every dependency's frame holds its own ancestors, so the merge
//     holds exactly the join's ancestors, and a writer they share comes with
//     the same rank and value from each.
//
// Lookups read the own part and then the base: constant time, whatever the
// depth of the graph.
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

  explicit View(std::shared_ptr<const Frame> base) : base_(std::move(base)) {}

  // The value a node reading `name` gets, or null.
  const GraphData* find(std::string_view name) const {
    if (auto found = own_.find(name); found != own_.end()) return &found->second.value;
    if (auto found = base_->find(name); found != base_->end()) return found->second.value.get();
    return nullptr;
  }

  // Adds the outputs of the node at `rank`, which comes after every writer
  // seen so far. Copies each value once.
  void write(std::size_t rank, const Context& outputs) {
    for (const auto& [name, value] : outputs) own_.insert_or_assign(name, Owned{rank, value});
  }

  // This view as one frame for several readers; copies only when the view
  // has its own part.
  std::shared_ptr<const Frame> freeze() && {
    if (own_.empty()) return std::move(base_);
    Frame flat(*base_);
    for (auto& [name, owned] : own_)
      flat.insert_or_assign(
          name, Seen{owned.rank, std::make_shared<const GraphData>(std::move(owned.value))});
    return std::make_shared<const Frame>(std::move(flat));
  }

 private:
  struct Owned {
    std::size_t rank;
    GraphData value;
  };

  std::shared_ptr<const Frame> base_;
  OrderedMap<Owned> own_;
};

}  // namespace corvane::dag
