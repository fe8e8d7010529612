#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "graph_data/context.hpp"
#include "graph_data/py_object_handle.hpp"

namespace corvane::graph_data {

struct GraphData;

// Variable name to value, listed in the order names were first written.
using Context = OrderedMap<GraphData>;

// A nested context held by value: copying copies every entry, recursively.
// Boxed because a variant cannot hold a map of itself directly.
class Map {
 public:
  Map();
  explicit Map(Context entries);
  Map(const Map& other);
  Map(Map&& other) noexcept;
  Map& operator=(const Map& other);
  Map& operator=(Map&& other) noexcept;
  ~Map();

  // A moved-from map reads as empty.
  const Context& entries() const;
  Context& entries();

 private:
  std::unique_ptr<Context> entries_;
};

using Int = std::int64_t;
using Float = double;
using String = std::string;
using FloatList = std::vector<double>;
using IntList = std::vector<std::int64_t>;
using None = std::monostate;

// The position of each alternative in `GraphData`, which is also its tag.
enum class Kind : std::uint8_t { Int, Float, String, FloatList, IntList, Map, PyObject, None };

// The one value type that nodes exchange. Copies are deep for every
// alternative but `PyObjectHandle`, which is copied as one more reference.
struct GraphData : std::variant<Int, Float, String, FloatList, IntList, Map, PyObjectHandle, None> {
  using variant::variant;

  Kind kind() const noexcept { return static_cast<Kind>(index()); }
};

}  // namespace corvane::graph_data
