#include "node/name_map.hpp"

#include <string_view>
#include <unordered_map>

namespace corvane::node {

NameMap::NameMap(std::vector<NamePair> pairs) {
  // Keys are views into `pairs`, whose first names stay in place until the
  // final move below.
  std::unordered_map<std::string_view, std::size_t> first_position;
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    auto [found, inserted] = first_position.try_emplace(pairs[i].first, i);
    if (inserted) {
      kept.push_back(i);
    } else {
      pairs[found->second].second = std::move(pairs[i].second);
    }
  }
  entries_.reserve(kept.size());
  for (std::size_t i : kept) entries_.push_back(std::move(pairs[i]));
}

}  // namespace corvane::node
