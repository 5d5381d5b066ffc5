#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core_support.hpp"
#include "dag/dag.hpp"
#include "dag/mermaid.hpp"

namespace pelmo {
namespace {

using testing::levels_of;
using testing::make_node;
using Ids = std::vector<NodeId>;

Dag dag_of(std::vector<std::pair<NodeId, Ids>> records) {
  std::vector<Node> nodes;
  for (auto& [id, dependencies] : records) nodes.push_back(make_node(id, std::move(dependencies)));
  return build_dag(std::move(nodes));
}

TEST(BuildDag, EmptyHasNoOrderAndNoLevels) {
  Dag dag = build_dag({});
  EXPECT_EQ(dag.node_count(), 0u);
  EXPECT_TRUE(dag.execution_order().empty());
  EXPECT_TRUE(dag.levels().empty());
  EXPECT_EQ(dag.find(0), nullptr);
}

TEST(BuildDag, ChainHasOneNodePerLevel) {
  Dag dag = dag_of({{0, {}}, {1, {0}}, {2, {1}}});
  EXPECT_EQ(dag.execution_order(), (Ids{0, 1, 2}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0}, {1}, {2}}));
}

TEST(BuildDag, DiamondKeepsSiblingsInFirstInFirstOutOrder) {
  Dag dag = dag_of({{0, {}}, {1, {0}}, {2, {0}}, {3, {1, 2}}});
  EXPECT_EQ(dag.execution_order(), (Ids{0, 1, 2, 3}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0}, {1, 2}, {3}}));
}

TEST(BuildDag, LevelFollowsDeepestDependency) {
  Dag dag = dag_of({{3, {0, 2}}, {0, {}}, {1, {0}}, {2, {1}}});
  EXPECT_EQ(dag.execution_order(), (Ids{0, 1, 2, 3}));
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
  EXPECT_EQ(dag.execution_order(), (Ids{0, 7}));
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
  EXPECT_EQ(dag.execution_order(), (Ids{10, 20, 30}));
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
  EXPECT_EQ(dag.execution_order(), (Ids{0, 2, 1}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0}, {2}, {1}}));
}

// ---------------------------------------------------------------------------
// TEMPORARY REFERENCE: the previous build_dag, lookup and arrow
// deduplication, restated plainly (and checked against the previous code
// itself), which the rewrite must match on every node list. Remove this
// block and RewriteMatchesPreviousImplementation once the rewrite has landed.
namespace previous {

constexpr std::size_t kNoPosition = std::numeric_limits<std::size_t>::max();

struct Views {
  Ids order;
  std::vector<Ids> levels;
};

// The first record with `id`, or none.
std::size_t find(const std::vector<Node>& all, NodeId id) {
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i].id == id) return i;
  }
  return kNoPosition;
}

Views build(const std::vector<Node>& all) {
  const std::size_t count = all.size();
  auto position = [&](NodeId id) { return find(all, id); };
  std::vector<std::size_t> owner(count);
  for (std::size_t i = 0; i < count; ++i) owner[i] = position(all[i].id);
  std::vector<std::size_t> in_degree(count, 0);
  std::vector<std::vector<std::size_t>> successors(count);
  for (std::size_t i = 0; i < count; ++i) {
    in_degree[owner[i]] += all[i].dependencies.size();
    for (NodeId dependency : all[i].dependencies) {
      std::size_t from = position(dependency);
      if (from != kNoPosition) successors[from].push_back(owner[i]);
    }
  }
  std::vector<std::size_t> order;
  for (std::size_t p = 0; p < count; ++p) {
    if (owner[p] == p && in_degree[p] == 0) order.push_back(p);
  }
  for (std::size_t head = 0; head < order.size(); ++head) {
    for (std::size_t s : successors[order[head]]) {
      if (--in_degree[s] == 0) order.push_back(s);
    }
  }
  Views views;
  std::vector<std::size_t> level_of(count, 0);
  for (std::size_t p : order) {
    std::size_t level = 0;
    for (std::size_t r = 0; r < count; ++r) {
      if (owner[r] != p) continue;
      for (NodeId dependency : all[r].dependencies) {
        level = std::max(level, level_of[position(dependency)] + 1);
      }
    }
    level_of[p] = level;
    if (views.levels.size() <= level) views.levels.resize(level + 1);
    views.levels[level].push_back(all[p].id);
    views.order.push_back(all[p].id);
  }
  return views;
}

// Mermaid text of nodes without label or style, whose names need no escaping.
std::string mermaid(const std::vector<Node>& all) {
  std::string text = "graph TD\n";
  for (const Node& node : all) {
    text += "    " + std::to_string(node.id) + "[\"Node " + std::to_string(node.id) + "\"]\n";
  }
  std::unordered_set<std::string> written;
  for (const Node& node : all) {
    for (NodeId dependency : node.dependencies) {
      const std::string from = std::to_string(dependency), to = std::to_string(node.id);
      if (!written.insert(from + ">" + to).second) continue;
      const std::size_t from_node = find(all, dependency);
      std::string labels;
      for (const auto& mapping : node.inputs) {
        if (from_node == kNoPosition) break;
        bool produced = false;
        for (const auto& output : all[from_node].outputs) produced |= output.value == mapping.key;
        if (!produced) continue;
        if (!labels.empty()) labels += "<br/>";
        labels += mapping.key + " \xE2\x86\x92 " + mapping.value;
      }
      text += "    " + from + (labels.empty() ? " --> " : " -->|" + labels + "| ") + to + "\n";
    }
  }
  return text;
}

}  // namespace previous

// Random short lists: dense or scattered ids, many repeated, dependencies
// on ids that no record has, cycles, and names that flow or not.
TEST(BuildDag, RewriteMatchesPreviousImplementation) {
  std::mt19937_64 random(11);
  const char* names[] = {"a", "b", "c"};
  for (int round = 0; round < 10000; ++round) {
    const std::size_t count = random() % 10;
    const bool dense = round % 3 == 0;
    std::vector<Node> nodes;
    for (std::size_t i = 0; i < count; ++i) {
      Ids dependencies(random() % 4);
      for (NodeId& dependency : dependencies) dependency = random() % (count + 3);
      if (dense) {
        for (NodeId& dependency : dependencies) dependency %= std::max<std::size_t>(i, 1) + 1;
      }
      Node node = make_node(dense ? i : random() % (count + 2) * 3, std::move(dependencies));
      for (int n = 0; n < 2; ++n) {
        node.inputs.insert(names[random() % 3], names[random() % 3]);
        node.outputs.insert(names[random() % 3], names[random() % 3]);
      }
      nodes.push_back(std::move(node));
    }
    const previous::Views expected = previous::build(nodes);
    const std::string expected_text = previous::mermaid(nodes);
    std::vector<std::pair<NodeId, std::size_t>> first_records;
    for (const Node& node : nodes) {
      first_records.emplace_back(node.id, previous::find(nodes, node.id));
      for (NodeId id : node.dependencies) first_records.emplace_back(id, previous::find(nodes, id));
    }
    Dag dag = build_dag(std::move(nodes));

    ASSERT_EQ(dag.execution_order(), expected.order) << "round " << round;
    ASSERT_EQ(levels_of(dag), expected.levels) << "round " << round;
    ASSERT_EQ(to_mermaid_text(dag), expected_text) << "round " << round;
    for (const auto& [id, first] : first_records) {
      const Node* found = dag.find(id);
      const Node* expected_node = first == previous::kNoPosition ? nullptr : &dag.nodes()[first];
      ASSERT_EQ(found, expected_node) << "round " << round << ", id " << id;
    }
  }
}
// End of the temporary reference.
// ---------------------------------------------------------------------------

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

    ASSERT_EQ(dag.execution_order().size(), count);
    std::unordered_map<NodeId, std::size_t> rank;
    for (std::size_t i = 0; i < count; ++i) rank[dag.execution_order()[i]] = i;
    ASSERT_EQ(rank.size(), count);
    std::unordered_map<NodeId, std::size_t> level_of;
    std::size_t seen = 0;
    for (std::size_t level = 0; level < dag.levels().size(); ++level) {
      ASSERT_FALSE(dag.levels()[level].empty());
      for (NodeId id : dag.levels()[level]) {
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
    for (std::size_t level = 0; level < dag.levels().size(); ++level) {
      auto ids_at = dag.levels()[level];
      for (std::size_t i = 1; i < ids_at.size(); ++i)
        EXPECT_LT(rank[ids_at[i - 1]], rank[ids_at[i]]);
    }
  }
}

}  // namespace
}  // namespace pelmo
