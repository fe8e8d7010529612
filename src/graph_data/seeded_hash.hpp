#pragma once

#include <cstdint>

namespace corvane::graph_data {

// A fresh random seed for every call: the start of each thread's sequence
// comes from the system's entropy source, later seeds are a cheap mix of it.
std::uint64_t next_map_seed() noexcept;

}  // namespace corvane::graph_data
