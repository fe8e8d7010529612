#include "graph_data/graph_data.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_host.hpp"

namespace corvane::graph_data {
namespace {

using testing::FakeObject;

TEST(GraphDataTest, AlternativesStandInTagOrder) {
  FakeObject object;
  const std::vector<std::pair<GraphData, Kind>> cases = {
      {GraphData(Int{1}), Kind::Int},
      {GraphData(Float{1.5}), Kind::Float},
      {GraphData(String("s")), Kind::String},
      {GraphData(FloatList{1.0}), Kind::FloatList},
      {GraphData(IntList{1}), Kind::IntList},
      {GraphData(Map()), Kind::Map},
      {GraphData(object.handle()), Kind::PyObject},
      {GraphData(None{}), Kind::None},
  };
  for (std::size_t tag = 0; tag < cases.size(); ++tag) {
    EXPECT_EQ(cases[tag].first.kind(), cases[tag].second);
    EXPECT_EQ(static_cast<std::size_t>(cases[tag].first.kind()), tag);
    EXPECT_EQ(GraphData(cases[tag].first).kind(), cases[tag].second);
  }
}

TEST(GraphDataTest, EmptyValuesCopyToEmptyValuesOfTheSameKind) {
  const GraphData text = String(), floats = FloatList(), ints = IntList(), map = Map();
  const GraphData text_copy = text, floats_copy = floats, ints_copy = ints, map_copy = map;
  EXPECT_TRUE(std::get<String>(text_copy).empty());
  EXPECT_TRUE(std::get<FloatList>(floats_copy).empty());
  EXPECT_TRUE(std::get<IntList>(ints_copy).empty());
  EXPECT_TRUE(std::get<Map>(map_copy).entries().empty());
}

// A nested map copied whole must share nothing with its source but the
// interpreter object, which gains exactly one count.
TEST(GraphDataTest, MapCopyIsDeepExceptForObjects) {
  FakeObject object;
  Context inner;
  inner.insert_or_assign("text", String(64, 'x'));
  inner.insert_or_assign("ints", IntList{1, 2, 3});
  inner.insert_or_assign("object", object.handle());
  Context outer;
  outer.insert_or_assign("inner", Map(std::move(inner)));
  outer.insert_or_assign("floats", FloatList{0.5});
  const GraphData source = Map(std::move(outer));
  ASSERT_EQ(object.count, 1);

  GraphData copy = source;
  EXPECT_EQ(object.count, 2);

  const Context& source_outer = std::get<Map>(source).entries();
  Context& copy_outer = std::get<Map>(copy).entries();
  EXPECT_NE(&source_outer, &copy_outer);
  EXPECT_NE(std::get<FloatList>(source_outer.at("floats")).data(),
            std::get<FloatList>(copy_outer.at("floats")).data());
  const Context& source_inner = std::get<Map>(source_outer.at("inner")).entries();
  Context& copy_inner = std::get<Map>(copy_outer.at("inner")).entries();
  EXPECT_NE(&source_inner, &copy_inner);
  EXPECT_NE(std::get<String>(source_inner.at("text")).data(),
            std::get<String>(copy_inner.at("text")).data());
  EXPECT_NE(std::get<IntList>(source_inner.at("ints")).data(),
            std::get<IntList>(copy_inner.at("ints")).data());
  EXPECT_EQ(std::get<PyObjectHandle>(copy_inner.at("object")).get(), &object);

  // Changing the copy leaves the source as it was.
  std::get<IntList>(copy_inner.at("ints")).push_back(4);
  copy_inner.insert_or_assign("added", Int{1});
  EXPECT_EQ(std::get<IntList>(source_inner.at("ints")).size(), 3u);
  EXPECT_EQ(source_inner.size(), 3u);

  copy = None{};
  EXPECT_EQ(object.count, 1);
}

TEST(GraphDataTest, MapAssignmentCopiesAndSelfAssignmentKeepsEntries) {
  FakeObject object;
  Map map;
  map.entries().insert_or_assign("object", object.handle());
  Map other;
  other = map;
  EXPECT_EQ(object.count, 2);
  const Map& alias = map;
  map = alias;
  EXPECT_EQ(map.entries().size(), 1u);
  EXPECT_EQ(object.count, 2);
  Map moved = std::move(map);
  EXPECT_TRUE(map.entries().empty());  // NOLINT: a moved-from map reads as empty
  EXPECT_EQ(object.count, 2);
}

TEST(GraphDataTest, InsertingUnderAPresentNameReleasesTheOldValueAtOnce) {
  FakeObject first, second;
  Context context;
  context.insert_or_assign("x", first.handle());
  context.insert_or_assign("x", second.handle());
  EXPECT_EQ(context.size(), 1u);
  EXPECT_EQ(first.count, 0);
  EXPECT_EQ(second.count, 1);
  EXPECT_FALSE(first.over_released);
}

TEST(GraphDataTest, CopiesAndReleasesOfHandlesBalance) {
  FakeObject object;
  {
    const PyObjectHandle original = object.handle();
    std::vector<GraphData> values;
    Context nested;
    for (int i = 0; i < 10; ++i) {
      values.emplace_back(original);
      nested.insert_or_assign(std::to_string(i), Map(Context{{"deep", GraphData(original)}}));
    }
    Context top{{"nested", GraphData(Map(nested))}, {"again", GraphData(Map(nested))}};
    const Context copy = top;
    PyObjectHandle assigned = original;
    assigned = original;
    assigned = PyObjectHandle(original);
    EXPECT_EQ(object.count, 1 + 10 + 10 + 2 * 2 * 10 + 1);
  }
  EXPECT_EQ(object.count, 0);
  EXPECT_FALSE(object.over_released);
}

}  // namespace
}  // namespace corvane::graph_data
