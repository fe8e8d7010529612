#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::graph_data {

// A map from variable name to value that lists its entries in the order
// their names were first inserted: replacing a value keeps the entry where
// it stands. Runs, node inputs and Python dicts made from it therefore come
// out in the same order on every run and in every process.
//
// Entries live in one array; a small map finds a name by scanning it, a
// larger one through an open-addressing table of positions into the array.
// Names must not be changed through an iterator.
template <class Value>
class OrderedMap {
 public:
  using value_type = std::pair<std::string, Value>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  OrderedMap() = default;
  OrderedMap(std::initializer_list<value_type> entries) {
    for (const value_type& entry : entries) insert_or_assign(entry.first, entry.second);
  }

  iterator begin() noexcept { return entries_.begin(); }
  iterator end() noexcept { return entries_.end(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  void reserve(std::size_t count) {
    entries_.reserve(count);
    if (count > kScanLimit) grow_table(count);
  }

  iterator find(std::string_view name) {
    return begin() + static_cast<std::ptrdiff_t>(locate(name));
  }
  const_iterator find(std::string_view name) const {
    return begin() + static_cast<std::ptrdiff_t>(locate(name));
  }
  bool contains(std::string_view name) const { return locate(name) != entries_.size(); }
  std::size_t count(std::string_view name) const { return contains(name) ? 1 : 0; }
  const Value& at(std::string_view name) const { return find(name)->second; }
  Value& at(std::string_view name) { return find(name)->second; }

  // Position of the entry named `name` in iteration order, or size().
  std::size_t position_of(std::string_view name) const noexcept { return locate(name); }

  // Lists the entries in the order `order` gives, a permutation of their
  // positions.
  void reorder(std::span<const std::size_t> order) {
    std::vector<value_type> reordered;
    reordered.reserve(entries_.size());
    for (std::size_t position : order) reordered.push_back(std::move(entries_[position]));
    entries_ = std::move(reordered);
    if (table_.empty()) return;
    std::fill(table_.begin(), table_.end(), kEmptySlot);
    for (std::size_t position = 0; position < entries_.size(); ++position) place(position);
  }

  // Stores `value` under `name`: in place when the name is present, else as
  // a new last entry. Returns the entry and whether it is new.
  template <class Name, class Given>
  std::pair<iterator, bool> insert_or_assign(Name&& name, Given&& value) {
    const std::string_view key(name);
    const std::size_t found = locate(key);
    if (found != entries_.size()) {
      entries_[found].second = std::forward<Given>(value);
      return {begin() + static_cast<std::ptrdiff_t>(found), false};
    }
    entries_.emplace_back(std::string(std::forward<Name>(name)), std::forward<Given>(value));
    index_last();
    return {std::prev(end()), true};
  }

 private:
  static constexpr std::size_t kScanLimit = 8;
  static constexpr std::uint32_t kEmptySlot = UINT32_MAX;

  static std::size_t hash(std::string_view name) noexcept {
    return std::hash<std::string_view>{}(name);
  }

  // Position of the entry named `name`, or size() when there is none.
  std::size_t locate(std::string_view name) const noexcept {
    if (table_.empty()) {
      for (std::size_t position = 0; position < entries_.size(); ++position)
        if (entries_[position].first == name) return position;
      return entries_.size();
    }
    const std::size_t mask = table_.size() - 1;
    for (std::size_t slot = hash(name) & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t position = table_[slot];
      if (position == kEmptySlot) return entries_.size();
      if (entries_[position].first == name) return position;
    }
  }

  // Puts the entry just appended into the table, growing it to keep it at
  // most half full.
  void index_last() {
    if (table_.empty()) {
      if (entries_.size() > kScanLimit) grow_table(entries_.size());
      return;
    }
    if (2 * entries_.size() > table_.size()) {
      grow_table(entries_.size());
      return;
    }
    place(entries_.size() - 1);
  }

  void grow_table(std::size_t count) {
    std::size_t size = 16;
    while (size < 2 * count) size *= 2;
    if (size <= table_.size()) return;
    table_.assign(size, kEmptySlot);
    for (std::size_t position = 0; position < entries_.size(); ++position) place(position);
  }

  void place(std::size_t position) {
    const std::size_t mask = table_.size() - 1;
    std::size_t slot = hash(entries_[position].first) & mask;
    while (table_[slot] != kEmptySlot) slot = (slot + 1) & mask;
    table_[slot] = static_cast<std::uint32_t>(position);
  }

  std::vector<value_type> entries_;
  std::vector<std::uint32_t> table_;
};

}  // namespace corvane::graph_data
