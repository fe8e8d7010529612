#include "graph_data/graph_data.hpp"

namespace corvane::graph_data {

namespace {
const Context& empty_context() {
  static const Context empty;
  return empty;
}
}  // namespace

Map::Map() : entries_(std::make_unique<Context>()) {}

Map::Map(Context entries) : entries_(std::make_unique<Context>(std::move(entries))) {}

Map::Map(const Map& other) : entries_(std::make_unique<Context>(other.entries())) {}

Map::Map(Map&& other) noexcept = default;

Map& Map::operator=(const Map& other) {
  if (this != &other) entries_ = std::make_unique<Context>(other.entries());
  return *this;
}

Map& Map::operator=(Map&& other) noexcept = default;

Map::~Map() = default;

const Context& Map::entries() const {
  return entries_ ? *entries_ : empty_context();
}

Context& Map::entries() {
  if (!entries_) entries_ = std::make_unique<Context>();
  return *entries_;
}

}  // namespace corvane::graph_data
