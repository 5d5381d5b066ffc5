// The mutable graph behind a Python Graph: hands out node ids, decides every
// node's dependencies and display markers, and keeps what the next step
// needs (where the next node and the next branch attach, the subgraphs
// received so far). It never runs anything and cannot fail.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "dag/dag.hpp"

namespace pelmo {

struct BranchRecord;

class GraphBuilder {
 public:
  GraphBuilder();
  // Move-only: a node function then belongs to one builder (and later one
  // Dag) at a time, which is what lets the bindings report each of its
  // Python references to the collector exactly once.
  GraphBuilder(GraphBuilder&&) noexcept;
  GraphBuilder& operator=(GraphBuilder&&) noexcept;
  // Iterative: records nest without a depth limit, one level per `branch`
  // of a graph into an empty one.
  ~GraphBuilder();

  // Appends one node per tail (a root when there are none), each depending
  // on its tail; the new nodes become the tails. Later pairs with the same
  // first name replace earlier ones.
  void add(SharedNodeFunction function, const std::optional<std::string>& label,
           const PairList& inputs, const PairList& outputs);

  // One variant node per function and tail, function-major, labelled
  // "<label> (v<index>)". The new nodes become the tails and the former
  // tails the branch point.
  void variants(const std::vector<SharedNodeFunction>& functions,
                const std::optional<std::string>& label, const PairList& inputs,
                const PairList& outputs);

  // Copies the subgraph once per attach point (the branch point, else the
  // tails), hanging its roots off that point; the tails stay as they were.
  // Returns the branch id, used up even when nothing is copied.
  std::uint64_t branch(GraphBuilder&& subgraph);

  // Consumes the builder. Subgraphs that found no attach point (they came
  // while the graph was empty) join as new roots, their own subgraphs after
  // them, depth first; subgraphs already copied at a branch point are not
  // added a second time.
  Dag build() &&;

 private:
  std::vector<std::optional<NodeId>> parents() const;
  void append_node(Node node, std::optional<NodeId> parent);
  void append_copies(const GraphBuilder& source, std::span<const NodeId> attach_points,
                     bool as_branch);
  template <typename Visit>
  static void for_each_record(const std::vector<BranchRecord>& records, Visit&& visit);

  // Records in creation order; a record's id is its position.
  NodeStore store_;
  std::vector<NodeId> tails_;  // where the next add or variants attaches
  std::vector<BranchRecord> subgraphs_;
  // Where the next branch attaches, when set: the parents of the latest
  // variants, or the tails that the first branch since the last step found.
  std::optional<std::vector<NodeId>> branch_point_;
  std::uint64_t next_branch_id_ = 1;
};

// A subgraph received by `branch`, kept whole. `attached` tells whether its
// nodes were copied at a branch point; a subgraph received by an empty graph
// was not, and joins the graph only when it is built.
struct BranchRecord {
  std::uint64_t branch_id;
  GraphBuilder subgraph;
  bool attached;
};

}  // namespace pelmo
