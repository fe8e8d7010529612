#include "graph_data/seeded_hash.hpp"

#include <random>

namespace corvane::graph_data {

std::uint64_t next_map_seed() noexcept {
  // splitmix64 over a per-thread state: no lock, and no system call per map.
  thread_local std::uint64_t state = [] {
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device();
  }();
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace corvane::graph_data
