#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core_support.hpp"
#include "dag/dag.hpp"

namespace pelmo {
namespace {

using testing::levels_of;
using testing::make_node;
using testing::order_of;
using Ids = std::vector<NodeId>;

Dag dag_of(std::vector<std::pair<NodeId, Ids>> records) {
  std::vector<testing::NodeSpec> specs;
  for (auto& [id, dependencies] : records) specs.push_back(make_node(id, std::move(dependencies)));
  return testing::dag_of_specs(std::move(specs));
}

TEST(BuildDag, EmptyHasNoOrderAndNoLevels) {
  Dag dag = build_dag(NodeStore{});
  EXPECT_EQ(dag.node_count(), 0u);
  EXPECT_TRUE(dag.execution_order().empty());
  EXPECT_TRUE(dag.levels().empty());
  EXPECT_EQ(dag.find(0), nullptr);
}

TEST(BuildDag, ChainHasOneNodePerLevel) {
  Dag dag = dag_of({{0, {}}, {1, {0}}, {2, {1}}});
  EXPECT_EQ(order_of(dag), (Ids{0, 1, 2}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0}, {1}, {2}}));
}

TEST(BuildDag, DiamondKeepsSiblingsInFirstInFirstOutOrder) {
  Dag dag = dag_of({{0, {}}, {1, {0}}, {2, {0}}, {3, {1, 2}}});
  EXPECT_EQ(order_of(dag), (Ids{0, 1, 2, 3}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0}, {1, 2}, {3}}));
}

TEST(BuildDag, LevelFollowsDeepestDependency) {
  Dag dag = dag_of({{3, {0, 2}}, {0, {}}, {1, {0}}, {2, {1}}});
  EXPECT_EQ(order_of(dag), (Ids{0, 1, 2, 3}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0}, {1}, {2}, {3}}));
}

TEST(BuildDag, IndependentRootsShareLevelZero) {
  Dag dag = dag_of({{0, {}}, {1, {}}, {2, {0}}});
  ASSERT_EQ(dag.levels().size(), 2u);
  Ids roots = levels_of(dag)[0];
  std::sort(roots.begin(), roots.end());
  EXPECT_EQ(roots, (Ids{0, 1}));
  EXPECT_EQ(levels_of(dag)[1], Ids{2});
}

TEST(BuildDag, CyclesAndMissingIdsDropNodeAndDownstreamSilently) {
  Dag dag = dag_of({
      {0, {}},
      {1, {2}},  // 1 and 2 form a cycle
      {2, {1}},
      {3, {3}},   // depends on itself
      {4, {99}},  // no such node
      {5, {1}},
      {6, {0, 4}},
      {7, {0, 0}},  // a repeated dependency counts as one
  });
  EXPECT_EQ(dag.node_count(), 8u);
  EXPECT_EQ(order_of(dag), (Ids{0, 7}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0}, {7}}));
  ASSERT_NE(dag.find(5), nullptr);
  EXPECT_EQ(dag.find(5)->id, 5u);
}

TEST(BuildDag, NothingRunnableLeavesNoLevels) {
  Dag dag = dag_of({{0, {1}}, {1, {0}}});
  EXPECT_EQ(dag.node_count(), 2u);
  EXPECT_TRUE(dag.execution_order().empty());
  EXPECT_TRUE(dag.levels().empty());
}

TEST(BuildDag, FindsNodesWhoseIdsAreNotPositions) {
  Dag dag = dag_of({{20, {10}}, {10, {}}, {30, {20, 10}}});
  for (NodeId id : {10, 20, 30}) {
    ASSERT_NE(dag.find(id), nullptr);
    EXPECT_EQ(dag.find(id)->id, id);
  }
  EXPECT_EQ(dag.find(0), nullptr);
  EXPECT_EQ(dag.find(1), nullptr);
  EXPECT_EQ(dag.find(3), nullptr);
  EXPECT_EQ(order_of(dag), (Ids{10, 20, 30}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{10}, {20}, {30}}));

  Dag positional = dag_of({{0, {}}, {1, {0}}});
  EXPECT_EQ(positional.find(1)->id, 1u);
  EXPECT_EQ(positional.find(2), nullptr);
}

// A later record with an id already taken adds its dependencies to the first
// record's; the node must then also sit below them.
TEST(BuildDag, RepeatedIdJoinsDependenciesOfAllItsRecords) {
  Dag dag = dag_of({{0, {}}, {1, {}}, {2, {0}}, {1, {2}}});
  EXPECT_EQ(dag.node_count(), 4u);
  EXPECT_EQ(order_of(dag), (Ids{0, 2, 1}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0}, {2}, {1}}));
}

// Random acyclic graphs with shuffled records and scattered ids: the order
// and levels must agree with the dependencies whatever the layout.
TEST(BuildDag, OrderAndLevelsRespectEveryDependency) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 20; ++round) {
    const std::size_t count = 300;
    Ids ids(count);
    for (std::size_t i = 0; i < count; ++i) ids[i] = i * 7 + (round % 2 ? 0 : 1000);
    std::vector<std::pair<NodeId, Ids>> records;
    for (std::size_t i = 0; i < count; ++i) {
      Ids dependencies;
      const std::size_t fan_in = i == 0 ? 0 : random() % 4;
      for (std::size_t d = 0; d < fan_in; ++d) dependencies.push_back(ids[random() % i]);
      records.emplace_back(ids[i], std::move(dependencies));
    }
    std::shuffle(records.begin(), records.end(), random);
    const auto expected = records;
    Dag dag = dag_of(std::move(records));

    const Ids order = order_of(dag);
    ASSERT_EQ(order.size(), count);
    std::unordered_map<NodeId, std::size_t> rank;
    for (std::size_t i = 0; i < count; ++i) rank[order[i]] = i;
    ASSERT_EQ(rank.size(), count);
    const std::vector<Ids> levels = levels_of(dag);
    std::unordered_map<NodeId, std::size_t> level_of;
    std::size_t seen = 0;
    for (std::size_t level = 0; level < levels.size(); ++level) {
      ASSERT_FALSE(levels[level].empty());
      for (NodeId id : levels[level]) {
        level_of[id] = level;
        ++seen;
      }
    }
    ASSERT_EQ(seen, count);
    for (const auto& [id, dependencies] : expected) {
      std::size_t level = 0;
      for (NodeId dependency : dependencies) {
        EXPECT_LT(rank[dependency], rank[id]);
        level = std::max(level, level_of[dependency] + 1);
      }
      EXPECT_EQ(level_of[id], level) << "node " << id;
      EXPECT_EQ(dag.find(id)->id, id);
    }
    for (const Ids& ids_at : levels) {
      for (std::size_t i = 1; i < ids_at.size(); ++i)
        EXPECT_LT(rank[ids_at[i - 1]], rank[ids_at[i]]);
    }
  }
}

}  // namespace
}  // namespace pelmo
