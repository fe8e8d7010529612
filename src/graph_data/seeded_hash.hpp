#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace corvane::graph_data {

// A fresh random seed for every call: the start of each thread's sequence
// comes from the system's entropy source, later seeds are a cheap mix of it.
std::uint64_t next_map_seed() noexcept;

// Text hash mixed with a seed drawn when the map is created, so every map
// visits its entries in an order of its own. Transparent, so lookups by
// `std::string_view` need no temporary string.
class SeededHash {
 public:
  using is_transparent = void;

  SeededHash() noexcept : seed_(next_map_seed()) {}

  std::size_t operator()(std::string_view text) const noexcept {
    std::uint64_t mixed = std::hash<std::string_view>{}(text) ^ seed_;
    mixed = (mixed ^ (mixed >> 30)) * 0xbf58476d1ce4e5b9ULL;
    mixed = (mixed ^ (mixed >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<std::size_t>(mixed ^ (mixed >> 31));
  }
  std::size_t operator()(const std::string& text) const noexcept {
    return (*this)(std::string_view(text));
  }
  std::size_t operator()(const char* text) const noexcept {
    return (*this)(std::string_view(text));
  }

 private:
  std::uint64_t seed_;
};

}  // namespace corvane::graph_data
