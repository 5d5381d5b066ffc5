#include "builder/graph_builder.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace pelmo {
namespace {

class Noop final : public NodeFunction {
 public:
  Context call(const Context&) const override { return {}; }
};

SharedNodeFunction noop() { return std::make_shared<const Noop>(); }

using Ids = std::vector<NodeId>;
using Labels = std::vector<std::optional<std::string>>;

Ids ids_of(const std::vector<Node>& nodes) {
  Ids ids;
  for (const Node& node : nodes) ids.push_back(node.id);
  return ids;
}

Labels labels_of(const std::vector<Node>& nodes) {
  Labels labels;
  for (const Node& node : nodes) labels.push_back(node.label);
  return labels;
}

PairList entries(const NameMap& mapping) {
  PairList pairs;
  for (const auto& entry : mapping) pairs.emplace_back(entry.key, entry.value);
  return pairs;
}

void add_node(GraphBuilder& graph, std::optional<std::string> label,
              SharedNodeFunction function = noop()) {
  add(graph, std::move(function), label, nullptr, nullptr);
}

void add_variants(GraphBuilder& graph, std::size_t count, std::optional<std::string> label = "V") {
  std::vector<SharedNodeFunction> functions;
  for (std::size_t i = 0; i < count; ++i) functions.push_back(noop());
  variants(graph, functions, label, nullptr, nullptr);
}

GraphBuilder chain(std::initializer_list<const char*> labels) {
  GraphBuilder graph;
  for (const char* label : labels) add_node(graph, label);
  return graph;
}

TEST(GraphBuilderAdd, FirstNodeIsARootAndLaterOnesFollowTheTail) {
  GraphBuilder graph;
  add_node(graph, "A");
  add_node(graph, std::nullopt);
  ASSERT_EQ(ids_of(graph.nodes), (Ids{0, 1}));
  EXPECT_TRUE(graph.nodes[0].dependencies.empty());
  EXPECT_EQ(graph.nodes[1].dependencies, (Ids{0}));
  EXPECT_EQ(labels_of(graph.nodes), (Labels{"A", std::nullopt}));
  EXPECT_EQ(graph.tails, (Ids{1}));
  EXPECT_EQ(graph.next_node_id, 2u);
}

TEST(GraphBuilderAdd, LaterPairWithTheSameKeyReplacesTheEarlier) {
  GraphBuilder graph;
  const PairList inputs{{"a", "x"}, {"b", "y"}, {"a", "z"}};
  const PairList outputs{{"out", "r"}, {"out", "s"}};
  add(graph, noop(), "A", &inputs, &outputs);
  EXPECT_EQ(entries(graph.nodes[0].inputs), (PairList{{"a", "z"}, {"b", "y"}}));
  EXPECT_EQ(entries(graph.nodes[0].outputs), (PairList{{"out", "s"}}));
}

TEST(GraphBuilderAdd, OneNodePerTailSharingOneFunctionAndClearingTheBranchPoint) {
  GraphBuilder graph;
  add_node(graph, "P");
  add_variants(graph, 2);
  ASSERT_TRUE(graph.branch_point.has_value());

  const PairList inputs{{"in", "x"}};
  SharedNodeFunction function = noop();
  add(graph, function, "Q", &inputs, nullptr);
  ASSERT_EQ(ids_of(graph.nodes), (Ids{0, 1, 2, 3, 4}));
  EXPECT_EQ(graph.nodes[3].dependencies, (Ids{1}));
  EXPECT_EQ(graph.nodes[4].dependencies, (Ids{2}));
  EXPECT_EQ(graph.nodes[3].function, function);
  EXPECT_EQ(graph.nodes[4].function, function);
  EXPECT_EQ(function.use_count(), 3);
  EXPECT_EQ(entries(graph.nodes[4].inputs), inputs);
  EXPECT_EQ(graph.tails, (Ids{3, 4}));
  EXPECT_FALSE(graph.branch_point.has_value());
}

TEST(GraphBuilderVariants, FunctionMajorOverTails) {
  GraphBuilder graph;
  add_node(graph, "P");
  add_variants(graph, 2);  // tails [1, 2]
  SharedNodeFunction f = noop();
  SharedNodeFunction g = noop();
  variants(graph, {f, g}, "S", nullptr, nullptr);

  ASSERT_EQ(ids_of(graph.nodes), (Ids{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(f.use_count(), 3);
  const std::vector<std::pair<SharedNodeFunction, NodeId>> expected{{f, 1}, {f, 2}, {g, 1}, {g, 2}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Node& node = graph.nodes[3 + i];
    SCOPED_TRACE(node.id);
    EXPECT_EQ(node.function, expected[i].first);
    EXPECT_EQ(node.dependencies, (Ids{expected[i].second}));
    EXPECT_EQ(node.variant_index, i / 2);
    EXPECT_TRUE(node.is_branch);
  }
  EXPECT_EQ(graph.tails, (Ids{3, 4, 5, 6}));
  EXPECT_EQ(graph.branch_point, (Ids{1, 2}));
}

TEST(GraphBuilderVariants, LabelsCarryTheDecimalIndex) {
  GraphBuilder graph;
  add_variants(graph, 11, "Scale");
  EXPECT_EQ(graph.nodes[0].label, "Scale (v0)");
  EXPECT_EQ(graph.nodes[10].label, "Scale (v10)");

  add_variants(graph, 1, "");
  EXPECT_EQ(graph.nodes.back().label, " (v0)");
  add_variants(graph, 1, std::nullopt);
  EXPECT_EQ(graph.nodes.back().label, std::nullopt);
}

TEST(GraphBuilderVariants, OnAnEmptyGraphTheyAreRootsNotBranches) {
  GraphBuilder graph;
  add_variants(graph, 2);
  ASSERT_EQ(graph.nodes.size(), 2u);
  for (const Node& node : graph.nodes) {
    EXPECT_TRUE(node.dependencies.empty());
    EXPECT_FALSE(node.is_branch);
  }
  EXPECT_EQ(graph.nodes[1].variant_index, 1u);
  EXPECT_EQ(graph.tails, (Ids{0, 1}));
  EXPECT_FALSE(graph.branch_point.has_value());
}

TEST(GraphBuilderVariants, NoFunctionsEmptyTheTailsButKeepTheBranchPoint) {
  GraphBuilder graph;
  add_node(graph, "A");
  add_variants(graph, 0);
  EXPECT_EQ(graph.nodes.size(), 1u);
  EXPECT_TRUE(graph.tails.empty());
  EXPECT_EQ(graph.branch_point, (Ids{0}));

  // A branch still finds the former tails; the next step starts a new root.
  branch(graph, chain({"X"}));
  EXPECT_EQ(graph.nodes[1].dependencies, (Ids{0}));
  add_node(graph, "B");
  EXPECT_TRUE(graph.nodes[2].dependencies.empty());
}

TEST(GraphBuilderBranch, CopyHangsOffTheTailWhichStaysTheTail) {
  GraphBuilder graph = chain({"A", "B"});
  SharedNodeFunction function = noop();
  GraphBuilder subgraph;
  const PairList inputs{{"b", "i"}};
  add(subgraph, function, "X", &inputs, nullptr);
  add_node(subgraph, "Y");

  EXPECT_EQ(branch(graph, std::move(subgraph)), 1u);
  ASSERT_EQ(ids_of(graph.nodes), (Ids{0, 1, 2, 3}));
  EXPECT_EQ(labels_of(graph.nodes), (Labels{"A", "B", "X", "Y"}));
  EXPECT_EQ(graph.nodes[2].dependencies, (Ids{1}));
  EXPECT_EQ(graph.nodes[3].dependencies, (Ids{2}));
  EXPECT_TRUE(graph.nodes[2].is_branch);
  EXPECT_TRUE(graph.nodes[3].is_branch);
  EXPECT_EQ(graph.nodes[2].function, function);
  EXPECT_EQ(function.use_count(), 3);  // ours, the kept subgraph's, the copy's
  EXPECT_EQ(entries(graph.nodes[2].inputs), inputs);
  EXPECT_EQ(graph.tails, (Ids{1}));
  ASSERT_EQ(graph.subgraphs.size(), 1u);
  EXPECT_EQ(graph.subgraphs[0].branch_id, 1u);
  EXPECT_TRUE(graph.subgraphs[0].attached);

  // The next branch, made before any step, attaches at the same point.
  EXPECT_EQ(branch(graph, chain({"Z"})), 2u);
  EXPECT_EQ(graph.nodes[4].dependencies, (Ids{1}));

  add_node(graph, "C");
  EXPECT_EQ(graph.nodes[5].dependencies, (Ids{1}));
  EXPECT_FALSE(graph.branch_point.has_value());
}

TEST(GraphBuilderBranch, AfterVariantsItAttachesWhereTheVariantsDid) {
  GraphBuilder graph;
  add_node(graph, "P");
  add_variants(graph, 2);
  branch(graph, chain({"X"}));
  ASSERT_EQ(graph.nodes.size(), 4u);
  EXPECT_EQ(graph.nodes[3].dependencies, (Ids{0}));
  EXPECT_EQ(graph.tails, (Ids{1, 2}));

  add_node(graph, "Q");
  EXPECT_EQ(graph.nodes[4].dependencies, (Ids{1}));
  EXPECT_EQ(graph.nodes[5].dependencies, (Ids{2}));
}

TEST(GraphBuilderBranch, EachAttachPointTakesItsIdsBeforeCopying) {
  GraphBuilder graph;
  add_node(graph, "P");
  add_variants(graph, 2);
  add_node(graph, "Q");
  add_node(graph, "R");  // tails [5, 6]
  GraphBuilder subgraph = chain({"X", "Y"});
  add_variants(subgraph, 1, "S");

  branch(graph, std::move(subgraph));
  ASSERT_EQ(ids_of(graph.nodes), (Ids{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(graph.nodes[7].dependencies, (Ids{5}));
  EXPECT_EQ(graph.nodes[8].dependencies, (Ids{7}));
  EXPECT_EQ(graph.nodes[9].dependencies, (Ids{8}));
  EXPECT_EQ(graph.nodes[10].dependencies, (Ids{6}));
  EXPECT_EQ(graph.nodes[11].dependencies, (Ids{10}));
  EXPECT_EQ(graph.nodes[12].dependencies, (Ids{11}));
  // A copied variant keeps its label but is no longer a variant.
  EXPECT_EQ(graph.nodes[12].label, "S (v0)");
  EXPECT_FALSE(graph.nodes[12].variant_index.has_value());
  EXPECT_EQ(graph.next_node_id, 13u);
  EXPECT_EQ(graph.tails, (Ids{5, 6}));
}

TEST(GraphBuilderBranch, WithNothingToCopyTheIdIsStillUsedUp) {
  GraphBuilder empty;
  EXPECT_EQ(branch(empty, chain({"X"})), 1u);
  EXPECT_TRUE(empty.nodes.empty());
  EXPECT_EQ(empty.next_node_id, 0u);
  EXPECT_FALSE(empty.branch_point.has_value());
  ASSERT_EQ(empty.subgraphs.size(), 1u);
  EXPECT_FALSE(empty.subgraphs[0].attached);
  EXPECT_EQ(empty.subgraphs[0].subgraph.nodes.size(), 1u);

  GraphBuilder graph = chain({"A", "B"});
  EXPECT_EQ(branch(graph, GraphBuilder{}), 1u);
  EXPECT_EQ(branch(graph, GraphBuilder{}), 2u);
  EXPECT_EQ(graph.nodes.size(), 2u);
  EXPECT_EQ(graph.branch_point, (Ids{1}));
}

TEST(GraphBuilderBranch, NestedBranchesAreCopiedLikeOtherNodes) {
  GraphBuilder subgraph = chain({"X"});
  branch(subgraph, chain({"Y"}));
  add_node(subgraph, "Z");

  GraphBuilder graph = chain({"A"});
  branch(graph, std::move(subgraph));
  ASSERT_EQ(labels_of(graph.nodes), (Labels{"A", "X", "Y", "Z"}));
  EXPECT_EQ(graph.nodes[1].dependencies, (Ids{0}));
  EXPECT_EQ(graph.nodes[2].dependencies, (Ids{1}));
  EXPECT_EQ(graph.nodes[3].dependencies, (Ids{1}));

  // Y came with its subgraph's nodes; building must not add it again.
  EXPECT_EQ(build(std::move(graph)).node_count(), 4u);
}

TEST(GraphBuilderBuild, SubgraphsReceivedWhileEmptyJoinAsNewRoots) {
  GraphBuilder subgraph = chain({"X"});
  add_variants(subgraph, 1, "V");
  GraphBuilder graph;
  branch(graph, std::move(subgraph));
  add_node(graph, "A");

  Dag dag = build(std::move(graph));
  ASSERT_EQ(labels_of(dag.nodes()), (Labels{"A", "X", "V (v0)"}));
  EXPECT_EQ(ids_of(dag.nodes()), (Ids{0, 1, 2}));
  EXPECT_TRUE(dag.nodes()[1].dependencies.empty());
  EXPECT_EQ(dag.nodes()[2].dependencies, (Ids{1}));
  // Merging is not branching: the nodes keep their markers as they are.
  EXPECT_FALSE(dag.nodes()[1].is_branch);
  EXPECT_TRUE(dag.nodes()[2].is_branch);
  EXPECT_EQ(dag.nodes()[2].variant_index, 0u);
  EXPECT_EQ(dag.execution_order().size(), 3u);
  EXPECT_EQ(dag.levels().size(), 2u);
}

TEST(GraphBuilderBuild, UnattachedRecordsMergeDepthFirst) {
  // T never found a node in its holder, which found none either: T joins
  // right after its holder's node S1, before the next record S2.
  GraphBuilder holder;
  branch(holder, chain({"T"}));
  add_node(holder, "S1");
  GraphBuilder graph;
  branch(graph, std::move(holder));
  branch(graph, chain({"S2"}));

  // Y is copied with its attached holder; U, received while its own holder
  // was empty, still has to join at build.
  GraphBuilder attached = chain({"X"});
  branch(attached, chain({"Y"}));
  GraphBuilder empty_holder;
  branch(empty_holder, chain({"U"}));
  branch(attached, std::move(empty_holder));
  add_node(graph, "A");
  branch(graph, std::move(attached));

  Dag dag = build(std::move(graph));
  EXPECT_EQ(labels_of(dag.nodes()), (Labels{"A", "X", "Y", "S1", "T", "S2", "U"}));
  EXPECT_EQ(ids_of(dag.nodes()), (Ids{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(dag.execution_order().size(), 7u);
}

// Random sequences of steps, subgraphs built the same way, checking after
// every step what the DAG core relies on the builder for.
class RandomGraphs {
 public:
  explicit RandomGraphs(std::uint32_t seed) : random_(seed) {}

  struct Generated {
    GraphBuilder graph;
    std::size_t merged_at_build = 0;  // nodes that only join when built
  };

  testing::AssertionResult generate(int depth, Generated& out) {
    const int steps = pick(0, depth == 0 ? 12 : 4);
    std::uint64_t branches = 0;
    for (int step = 0; step < steps; ++step) {
      GraphBuilder& graph = out.graph;
      const int kind = pick(0, depth < 2 ? 2 : 1);
      if (kind == 0) {
        add_node(graph, "A");
      } else if (kind == 1) {
        // Variants multiply the tails; keep the graphs small.
        const int count = graph.tails.size() > 8 ? 1 : pick(0, 3);
        add_variants(graph, static_cast<std::size_t>(count));
      } else {
        Generated sub;
        if (auto result = generate(depth + 1, sub); !result) return result;
        const std::size_t attach_points =
            graph.branch_point ? graph.branch_point->size() : graph.tails.size();
        const std::size_t before = graph.nodes.size();
        const std::size_t sub_size = sub.graph.nodes.size();
        out.merged_at_build += sub.merged_at_build + (attach_points == 0 ? sub_size : 0);
        const std::uint64_t id = branch(graph, std::move(sub.graph));
        if (id != ++branches) return testing::AssertionFailure() << "branch id " << id;
        if (graph.nodes.size() != before + attach_points * sub_size) {
          return testing::AssertionFailure() << "branch copied " << graph.nodes.size() - before
                                             << " nodes, not " << attach_points * sub_size;
        }
      }
      if (auto result = consistent(graph); !result) return result << " after step " << step;
    }
    return testing::AssertionSuccess();
  }

 private:
  static testing::AssertionResult consistent(const GraphBuilder& graph) {
    std::unordered_set<NodeId> earlier;
    const Node* previous = nullptr;
    for (const Node& node : graph.nodes) {
      if (previous != nullptr && node.id <= previous->id) {
        return testing::AssertionFailure() << "id " << node.id << " after " << previous->id;
      }
      if (node.id >= graph.next_node_id) {
        return testing::AssertionFailure() << "id " << node.id << " not below next_node_id";
      }
      for (NodeId dependency : node.dependencies) {
        if (!earlier.count(dependency)) {
          return testing::AssertionFailure()
                 << "node " << node.id << " depends on " << dependency << ", no earlier node";
        }
      }
      earlier.insert(node.id);
      previous = &node;
    }
    auto all_exist = [&](const std::vector<NodeId>& ids) {
      for (NodeId id : ids) {
        if (!earlier.count(id)) return false;
      }
      return true;
    };
    if (!all_exist(graph.tails)) return testing::AssertionFailure() << "a tail names no node";
    if (graph.branch_point && !all_exist(*graph.branch_point)) {
      return testing::AssertionFailure() << "the branch point names no node";
    }
    return testing::AssertionSuccess();
  }

  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  std::mt19937 random_;
};

TEST(GraphBuilderProperty, RandomSequencesBuildCompleteAcyclicDags) {
  RandomGraphs random(20240611);
  for (int sequence = 0; sequence < 3000; ++sequence) {
    SCOPED_TRACE(sequence);
    RandomGraphs::Generated generated;
    ASSERT_TRUE(random.generate(0, generated));
    const std::size_t expected = generated.graph.nodes.size() + generated.merged_at_build;
    Dag dag = build(std::move(generated.graph));
    ASSERT_EQ(dag.node_count(), expected);
    ASSERT_EQ(dag.execution_order().size(), expected);
  }
}

// Nesting as deep as `branch` makes it: each level holds the one below as
// its only record. Building and freeing must not take a stack frame per level.
constexpr std::size_t kLevels = 1'000'000;

// Empty levels around one node.
GraphBuilder empty_levels_around_a_node() {
  GraphBuilder inner = chain({"inner"});
  for (std::size_t level = 0; level < kLevels; ++level) {
    GraphBuilder outer;
    branch(outer, std::move(inner));
    inner = std::move(outer);
  }
  return inner;
}

// A node per level, and records nested within attached records: each level
// holds, attached, an empty holder, which holds the level below unattached.
// Built, the levels come in from the outside in.
GraphBuilder levels_within_attached_records() {
  GraphBuilder inner = chain({"0"});
  for (std::size_t level = 1; level < kLevels / 2; ++level) {
    GraphBuilder holder;
    branch(holder, std::move(inner));
    GraphBuilder outer = chain({std::to_string(level).c_str()});
    branch(outer, std::move(holder));
    inner = std::move(outer);
  }
  return inner;
}

bool deep_nesting_builds_and_frees() {
  Dag one = build(empty_levels_around_a_node());
  if (labels_of(one.nodes()) != Labels{"inner"}) return false;
  Dag all = build(levels_within_attached_records());
  if (all.node_count() != kLevels / 2 || all.levels().size() != 1) return false;
  for (std::size_t position = 0; position < all.node_count(); ++position) {
    const Node& node = all.nodes()[position];
    if (node.id != position || node.label != std::to_string(kLevels / 2 - 1 - position)) {
      return false;
    }
  }
  // Freed without being built, as the temporaries die.
  empty_levels_around_a_node();
  levels_within_attached_records();
  return true;
}

// Exits with 0 when `body` returns true on a thread with a 256 KiB stack.
[[noreturn]] void exit_with_result_on_small_stack(bool (*body)()) {
  struct Call {
    bool (*body)();
    bool passed = false;
  } call{body};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    Call& self = *static_cast<Call*>(argument);
    self.passed = self.body();
    return nullptr;
  };
  if (pthread_create(&thread, &attributes, run, &call) != 0) std::exit(2);
  pthread_join(thread, nullptr);
  std::exit(call.passed ? 0 : 1);
}

TEST(GraphBuilderDeathTest, MillionLevelsOfNestingBuildAndFreeOnASmallStack) {
  EXPECT_EXIT(exit_with_result_on_small_stack(deep_nesting_builds_and_frees),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace pelmo
