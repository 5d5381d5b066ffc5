#include "builder/graph_builder.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core_support.hpp"
#include "dag/mermaid.hpp"

namespace pelmo {
namespace {

using testing::levels_of;
using testing::noop;
using Ids = std::vector<NodeId>;
using Labels = std::vector<std::optional<std::string>>;
using Shape = std::vector<std::string>;

std::optional<std::string> label_of(const Dag& dag, const Node& node) {
  const std::optional<std::string_view> label = dag.store().label(node);
  if (!label) return std::nullopt;
  return std::string(*label);
}

Labels labels_of(const Dag& dag) {
  Labels labels;
  for (const Node& node : dag.nodes()) labels.push_back(label_of(dag, node));
  return labels;
}

// One line per node, in node order: "id:label<-dependencies", then the
// markers the renderer shows. An absent label is "-".
Shape shape_of(const Dag& dag) {
  Shape shape;
  for (const Node& node : dag.nodes()) {
    std::string line = std::to_string(node.id) + ":" + label_of(dag, node).value_or("-");
    const std::span<const NodeId> dependencies = dag.store().dependencies(node);
    for (std::size_t i = 0; i < dependencies.size(); ++i) {
      line += (i == 0 ? "<-" : ",") + std::to_string(dependencies[i]);
    }
    if (node.is_branch) line += " branch";
    if (node.variant_index != kNoVariant) line += " v" + std::to_string(node.variant_index);
    shape.push_back(std::move(line));
  }
  return shape;
}

// A mapping's pairs as texts, in their order.
PairList entries(const Dag& dag, Run mapping) {
  const NameTable& names = dag.store().names();
  PairList pairs;
  for (const NamePair& pair : dag.store().pairs(mapping))
    pairs.emplace_back(names[pair.first], names[pair.second]);
  return pairs;
}

const NodeFunction* function_at(const Dag& dag, std::size_t position) {
  return dag.store().function(dag.nodes()[position]);
}

void add_node(GraphBuilder& graph, std::optional<std::string> label,
              SharedNodeFunction function = noop()) {
  graph.add(std::move(function), label, {}, {});
}

void add_variants(GraphBuilder& graph, std::size_t count, std::optional<std::string> label = "V") {
  std::vector<SharedNodeFunction> functions;
  for (std::size_t i = 0; i < count; ++i) functions.push_back(noop());
  graph.variants(functions, label, {}, {});
}

GraphBuilder chain(std::initializer_list<const char*> labels) {
  GraphBuilder graph;
  for (const char* label : labels) add_node(graph, label);
  return graph;
}

Dag built(GraphBuilder& graph) { return std::move(graph).build(); }

TEST(GraphBuilderAdd, FirstNodeIsARootAndLaterOnesFollowTheTail) {
  GraphBuilder graph;
  add_node(graph, "A");
  add_node(graph, std::nullopt);
  add_node(graph, "C");
  Dag dag = built(graph);
  EXPECT_EQ(shape_of(dag), (Shape{"0:A", "1:-<-0", "2:C<-1"}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0}, {1}, {2}}));
}

TEST(GraphBuilderAdd, LaterPairWithTheSameKeyReplacesTheEarlier) {
  GraphBuilder graph;
  graph.add(noop(), "A", {{"a", "x"}, {"b", "y"}, {"a", "z"}}, {{"out", "r"}, {"out", "s"}});
  Dag dag = built(graph);
  EXPECT_EQ(entries(dag, dag.nodes()[0].inputs), (PairList{{"a", "z"}, {"b", "y"}}));
  EXPECT_EQ(entries(dag, dag.nodes()[0].outputs), (PairList{{"out", "s"}}));
}

TEST(GraphBuilderAdd, OneNodePerTailSharingOneFunctionAndClearingTheBranchPoint) {
  GraphBuilder graph;
  add_node(graph, "P");
  add_variants(graph, 2);
  const PairList inputs{{"in", "x"}};
  SharedNodeFunction function = noop();
  graph.add(function, "Q", inputs, {});
  // After the add, a branch hangs off the new tails, not the variants' parent.
  graph.branch(chain({"X"}));

  Dag dag = built(graph);
  EXPECT_EQ(shape_of(dag), (Shape{"0:P", "1:V (v0)<-0 branch v0", "2:V (v1)<-0 branch v1", "3:Q<-1",
                                  "4:Q<-2", "5:X<-3 branch", "6:X<-4 branch"}));
  EXPECT_EQ(function_at(dag, 3), function.get());
  EXPECT_EQ(function_at(dag, 4), function.get());
  EXPECT_EQ(function.use_count(), 2);  // ours and the one entry of both nodes
  EXPECT_EQ(entries(dag, dag.nodes()[4].inputs), inputs);
}

TEST(GraphBuilderVariants, FunctionMajorOverTails) {
  GraphBuilder graph;
  add_node(graph, "P");
  add_variants(graph, 2);
  SharedNodeFunction f = noop();
  SharedNodeFunction g = noop();
  graph.variants({f, g}, "S", {}, {});
  add_node(graph, "T");

  Dag dag = built(graph);
  EXPECT_EQ(shape_of(dag),
            (Shape{"0:P", "1:V (v0)<-0 branch v0", "2:V (v1)<-0 branch v1", "3:S (v0)<-1 branch v0",
                   "4:S (v0)<-2 branch v0", "5:S (v1)<-1 branch v1", "6:S (v1)<-2 branch v1",
                   "7:T<-3", "8:T<-4", "9:T<-5", "10:T<-6"}));
  const std::vector<SharedNodeFunction> expected{f, f, g, g};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(function_at(dag, 3 + i), expected[i].get()) << i;
  }
}

TEST(GraphBuilderVariants, LabelsCarryTheDecimalIndex) {
  GraphBuilder graph;
  add_variants(graph, 11, "Scale");
  add_variants(graph, 1, "");
  add_variants(graph, 1, std::nullopt);
  Dag dag = built(graph);
  const Labels labels = labels_of(dag);
  EXPECT_EQ(labels[0], "Scale (v0)");
  EXPECT_EQ(labels[10], "Scale (v10)");
  EXPECT_EQ(labels[11], " (v0)");
  EXPECT_EQ(labels.back(), std::nullopt);
}

TEST(GraphBuilderVariants, OnAnEmptyGraphTheyAreRootsNotBranches) {
  GraphBuilder graph;
  add_variants(graph, 2);
  add_node(graph, "A");
  Dag dag = built(graph);
  EXPECT_EQ(shape_of(dag), (Shape{"0:V (v0) v0", "1:V (v1) v1", "2:A<-0", "3:A<-1"}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0, 1}, {2, 3}}));
}

TEST(GraphBuilderVariants, NoFunctionsEmptyTheTailsButKeepTheBranchPoint) {
  GraphBuilder graph;
  add_node(graph, "A");
  add_variants(graph, 0);
  // A branch still finds the former tails; the next step starts a new root.
  graph.branch(chain({"X"}));
  add_node(graph, "B");
  EXPECT_EQ(shape_of(built(graph)), (Shape{"0:A", "1:X<-0 branch", "2:B"}));
}

TEST(GraphBuilderBranch, CopyHangsOffTheTailWhichStaysTheTail) {
  GraphBuilder graph = chain({"A", "B"});
  SharedNodeFunction function = noop();
  GraphBuilder subgraph;
  const PairList inputs{{"b", "i"}};
  subgraph.add(function, "X", inputs, {});
  add_node(subgraph, "Y");

  EXPECT_EQ(graph.branch(std::move(subgraph)), 1u);
  // The next branch, made before any step, attaches at the same point.
  EXPECT_EQ(graph.branch(chain({"Z"})), 2u);
  add_node(graph, "C");
  add_node(graph, "D");

  Dag dag = built(graph);
  EXPECT_EQ(shape_of(dag), (Shape{"0:A", "1:B<-0", "2:X<-1 branch", "3:Y<-2 branch",
                                  "4:Z<-1 branch", "5:C<-1", "6:D<-5"}));
  EXPECT_EQ(function_at(dag, 2), function.get());
  EXPECT_EQ(function.use_count(), 2);  // ours and the copy's
  EXPECT_EQ(entries(dag, dag.nodes()[2].inputs), inputs);
  EXPECT_EQ(to_mermaid_text(dag),
            "graph TD\n"
            "    0[\"A\"]\n    1[\"B\"]\n    2[\"X\"]\n    3[\"Y\"]\n    4[\"Z\"]\n"
            "    5[\"C\"]\n    6[\"D\"]\n"
            "    0 --> 1\n    1 --> 2\n    2 --> 3\n    1 --> 4\n    1 --> 5\n    5 --> 6\n"
            "    style 2 fill:#e1f5ff\n    style 3 fill:#e1f5ff\n    style 4 fill:#e1f5ff\n");
}

TEST(GraphBuilderBranch, AfterVariantsItAttachesWhereTheVariantsDid) {
  GraphBuilder graph;
  add_node(graph, "P");
  add_variants(graph, 2);
  graph.branch(chain({"X"}));
  add_node(graph, "Q");
  EXPECT_EQ(shape_of(built(graph)), (Shape{"0:P", "1:V (v0)<-0 branch v0", "2:V (v1)<-0 branch v1",
                                           "3:X<-0 branch", "4:Q<-1", "5:Q<-2"}));
}

TEST(GraphBuilderBranch, EachAttachPointTakesItsIdsBeforeCopying) {
  GraphBuilder graph;
  add_node(graph, "P");
  add_variants(graph, 2);
  add_node(graph, "Q");
  add_node(graph, "R");  // tails 5, 6
  GraphBuilder subgraph = chain({"X", "Y"});
  add_variants(subgraph, 1, "S");
  graph.branch(std::move(subgraph));
  add_node(graph, "T");

  // A copied variant keeps its label but is no longer a variant.
  EXPECT_EQ(
      shape_of(built(graph)),
      (Shape{"0:P", "1:V (v0)<-0 branch v0", "2:V (v1)<-0 branch v1", "3:Q<-1", "4:Q<-2", "5:R<-3",
             "6:R<-4", "7:X<-5 branch", "8:Y<-7 branch", "9:S (v0)<-8 branch", "10:X<-6 branch",
             "11:Y<-10 branch", "12:S (v0)<-11 branch", "13:T<-5", "14:T<-6"}));
}

TEST(GraphBuilderBranch, WithNothingToCopyTheIdIsStillUsedUp) {
  GraphBuilder empty;
  EXPECT_EQ(empty.branch(chain({"X"})), 1u);
  EXPECT_EQ(empty.branch(chain({"Y"})), 2u);
  // Received while empty: they join when built, as roots.
  EXPECT_EQ(shape_of(built(empty)), (Shape{"0:X", "1:Y"}));

  GraphBuilder graph = chain({"A", "B"});
  EXPECT_EQ(graph.branch(GraphBuilder{}), 1u);
  EXPECT_EQ(graph.branch(GraphBuilder{}), 2u);
  // The empty branches still fixed the branch point at B.
  graph.branch(chain({"X"}));
  EXPECT_EQ(shape_of(built(graph)), (Shape{"0:A", "1:B<-0", "2:X<-1 branch"}));
}

TEST(GraphBuilderBranch, NestedBranchesAreCopiedLikeOtherNodes) {
  GraphBuilder subgraph = chain({"X"});
  subgraph.branch(chain({"Y"}));
  add_node(subgraph, "Z");

  GraphBuilder graph = chain({"A"});
  graph.branch(std::move(subgraph));
  // Y came with its subgraph's nodes; building must not add it again.
  EXPECT_EQ(shape_of(built(graph)),
            (Shape{"0:A", "1:X<-0 branch", "2:Y<-1 branch", "3:Z<-1 branch"}));
}

TEST(GraphBuilderBuild, SubgraphsReceivedWhileEmptyJoinAsNewRoots) {
  GraphBuilder subgraph = chain({"X"});
  add_variants(subgraph, 1, "V");
  GraphBuilder graph;
  graph.branch(std::move(subgraph));
  add_node(graph, "A");

  Dag dag = built(graph);
  // Merging is not branching: the nodes keep their markers as they are.
  EXPECT_EQ(shape_of(dag), (Shape{"0:A", "1:X", "2:V (v0)<-1 branch v0"}));
  EXPECT_EQ(levels_of(dag), (std::vector<Ids>{{0, 1}, {2}}));
}

TEST(GraphBuilderBuild, UnattachedRecordsMergeDepthFirst) {
  // T never found a node in its holder, which found none either: T joins
  // right after its holder's node S1, before the next record S2.
  GraphBuilder holder;
  holder.branch(chain({"T"}));
  add_node(holder, "S1");
  GraphBuilder graph;
  graph.branch(std::move(holder));
  graph.branch(chain({"S2"}));

  // Y is copied with its attached holder; U, received while its own holder
  // was empty, still has to join at build.
  GraphBuilder attached = chain({"X"});
  attached.branch(chain({"Y"}));
  GraphBuilder empty_holder;
  empty_holder.branch(chain({"U"}));
  attached.branch(std::move(empty_holder));
  add_node(graph, "A");
  graph.branch(std::move(attached));

  EXPECT_EQ(shape_of(built(graph)),
            (Shape{"0:A", "1:X<-0 branch", "2:Y<-1 branch", "3:S1", "4:T", "5:S2", "6:U"}));
}

// Random sequences of steps, subgraphs built the same way: whatever the
// steps, the Dag holds every node, ids in creation order, each depending
// only on earlier nodes, and runs them all.
class RandomGraphs {
 public:
  explicit RandomGraphs(std::uint32_t seed) : random_(seed) {}

  GraphBuilder generate(int depth) {
    GraphBuilder graph;
    const int steps = pick(0, depth == 0 ? 12 : 4);
    // Variants multiply the paths; a bound on the product keeps graphs small.
    std::size_t paths = 1;
    for (int step = 0; step < steps; ++step) {
      const int kind = pick(0, depth < 2 ? 2 : 1);
      if (kind == 0) {
        add_node(graph, "A");
      } else if (kind == 1) {
        const int count = paths > 8 ? 1 : pick(0, 3);
        paths *= static_cast<std::size_t>(std::max(count, 1));
        add_variants(graph, static_cast<std::size_t>(count));
      } else {
        graph.branch(generate(depth + 1));
      }
    }
    return graph;
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  std::mt19937 random_;
};

::testing::AssertionResult complete_and_ordered(const Dag& dag) {
  const std::span<const Node> nodes = dag.nodes();
  for (std::size_t position = 0; position < nodes.size(); ++position) {
    const Node& node = nodes[position];
    if (node.id != position) {
      return ::testing::AssertionFailure() << "node " << node.id << " at position " << position;
    }
    for (NodeId dependency : dag.store().dependencies(node)) {
      if (dependency >= node.id) {
        return ::testing::AssertionFailure()
               << "node " << node.id << " depends on " << dependency << ", no earlier node";
      }
    }
  }
  if (dag.execution_order().size() != nodes.size()) {
    return ::testing::AssertionFailure()
           << dag.execution_order().size() << " of " << nodes.size() << " nodes run";
  }
  return ::testing::AssertionSuccess();
}

TEST(GraphBuilderProperty, RandomSequencesBuildCompleteAcyclicDags) {
  RandomGraphs random(20240611);
  for (int sequence = 0; sequence < 3000; ++sequence) {
    SCOPED_TRACE(sequence);
    ASSERT_TRUE(complete_and_ordered(random.generate(0).build()));
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
    outer.branch(std::move(inner));
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
    holder.branch(std::move(inner));
    GraphBuilder outer = chain({std::to_string(level).c_str()});
    outer.branch(std::move(holder));
    inner = std::move(outer);
  }
  return inner;
}

bool deep_nesting_builds_and_frees() {
  Dag one = empty_levels_around_a_node().build();
  if (labels_of(one) != Labels{"inner"}) return false;
  Dag all = levels_within_attached_records().build();
  if (all.node_count() != kLevels / 2 || all.levels().size() != 1) return false;
  for (std::size_t position = 0; position < all.node_count(); ++position) {
    const Node& node = all.nodes()[position];
    if (node.id != position ||
        all.store().label(node) != std::to_string(kLevels / 2 - 1 - position)) {
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
