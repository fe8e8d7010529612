#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dag/execution_result.hpp"
#include "node/node.hpp"

namespace corvane::dag {

using graph_data::Context;
using node::Node;

// The state of one run. Besides the context it can keep a record of every
// node's and every branch's outputs; a run that only hands back its context
// skips that record, so a value overwritten in the context is released at
// once instead of living until the run ends.
class RunState {
 public:
  RunState(bool keep_records, Context inputs) : keep_records_(keep_records) {
    result_.context = std::move(inputs);
  }

  const Context& context() const noexcept { return result_.context; }

  // The context alone, for a run that merges it elsewhere for a while and
  // then hands it back.
  Context take_context() && { return std::move(result_.context); }
  void set_context(Context context) { result_.context = std::move(context); }

  // Writes one node's outputs into the context and, when records are kept,
  // into the node's record and its branch's record.
  void merge(const Node& node, Context outputs) {
    if (!keep_records_) {
      for (auto& [name, value] : outputs) result_.context.insert_or_assign(name, std::move(value));
      return;
    }
    for (const auto& [name, value] : outputs) result_.context.insert_or_assign(name, value);
    if (node.branch_id) {
      Context& branch = result_.branch_outputs[*node.branch_id];
      for (const auto& [name, value] : outputs) branch.insert_or_assign(name, value);
    }
    result_.node_outputs.insert_or_assign(node.id, std::move(outputs));
  }

  // The result; with `targets`, its context holds only those names, in the
  // order they were written.
  ExecutionResult take(const std::vector<std::string>* targets) && {
    if (targets != nullptr) {
      Context kept;
      const std::unordered_set<std::string_view> wanted(targets->begin(), targets->end());
      for (auto& [name, value] : result_.context)
        if (wanted.contains(name)) kept.insert_or_assign(name, std::move(value));
      result_.context = std::move(kept);
    }
    return std::move(result_);
  }

 private:
  bool keep_records_;
  ExecutionResult result_;
};

}  // namespace corvane::dag
