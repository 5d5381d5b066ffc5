#include "dag/dag.hpp"

#include <algorithm>
#include <utility>

namespace pelmo {

IdPositions::IdPositions(std::span<const Node> nodes) : count_(nodes.size()) {
  for (std::size_t i = 0; i < count_ && ids_are_positions_; ++i) {
    ids_are_positions_ = nodes[i].id == i;
  }
  if (ids_are_positions_) return;
  first_record_.reserve(count_);
  for (std::size_t i = 0; i < count_; ++i) first_record_.emplace(nodes[i].id, i);
}

namespace {

// The dependency graph on positions. The successors of position p are
// successors[starts[p] .. starts[p + 1]), in record order: nodes that one
// predecessor makes ready enter the queue in the order of their records.
struct Adjacency {
  std::vector<std::size_t> in_degree;
  std::vector<std::size_t> starts;
  std::vector<std::size_t> successors;

  std::span<const std::size_t> successors_of(std::size_t p) const {
    return {successors.data() + starts[p], starts[p + 1] - starts[p]};
  }
};

// One pass over the records: every record's dependencies go to the first
// record of its id. A dependency on an id that no record has raises the
// in-degree for good, and so does one extra count on each later record of
// an id, which no edge leads to.
Adjacency fold_records(const NodeStore& store, const IdPositions& position) {
  const std::span<const Node> nodes = store.nodes();
  const std::size_t count = nodes.size();
  Adjacency graph{std::vector<std::size_t>(count, 0), std::vector<std::size_t>(count + 1, 0), {}};
  std::vector<std::pair<std::size_t, std::size_t>> edges;  // (from, to), in record order
  edges.reserve(count);  // a built graph has about one edge per node
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t owner = position(nodes[i].id);
    if (owner != i) ++graph.in_degree[i];
    graph.in_degree[owner] += nodes[i].dependencies.size;
    for (NodeId dependency : store.dependencies(nodes[i])) {
      const std::size_t from = position(dependency);
      if (from == IdPositions::kNone) continue;
      ++graph.starts[from + 1];
      edges.emplace_back(from, owner);
    }
  }
  for (std::size_t p = 0; p < count; ++p) graph.starts[p + 1] += graph.starts[p];
  graph.successors.resize(edges.size());
  std::vector<std::size_t> fill(graph.starts.begin(), graph.starts.end() - 1);
  for (const auto& [from, to] : edges) graph.successors[fill[from]++] = to;
  return graph;
}

// Kahn's algorithm; the order doubles as the first-in first-out queue.
// Uses up the in-degrees.
std::vector<std::size_t> kahn_order(Adjacency& graph) {
  std::vector<std::size_t> order;
  order.reserve(graph.in_degree.size());
  for (std::size_t p = 0; p < graph.in_degree.size(); ++p) {
    if (graph.in_degree[p] == 0) order.push_back(p);
  }
  for (std::size_t head = 0; head < order.size(); ++head) {
    for (std::size_t s : graph.successors_of(order[head])) {
      if (--graph.in_degree[s] == 0) order.push_back(s);
    }
  }
  return order;
}

// Level of each position in the order: one more than its deepest
// dependency. Every dependency of a runnable node comes earlier in the
// order, so a node's level is final by the time it passes it on.
std::vector<std::size_t> level_of_each(const std::vector<std::size_t>& order,
                                       const Adjacency& graph) {
  std::vector<std::size_t> level_of(graph.in_degree.size(), 0);
  for (std::size_t p : order) {
    for (std::size_t s : graph.successors_of(p)) {
      level_of[s] = std::max(level_of[s], level_of[p] + 1);
    }
  }
  return level_of;
}

}  // namespace

Dag build_dag(NodeStore&& store) {
  Dag dag;
  dag.store_ = std::move(store);
  dag.store_.freeze();
  dag.positions_ = IdPositions(dag.store_.nodes());
  Adjacency graph = fold_records(dag.store_, dag.positions_);
  const std::vector<std::size_t> order = kahn_order(graph);
  const std::vector<std::size_t> level_of = level_of_each(order, graph);

  dag.execution_order_.assign(order.begin(), order.end());

  // Level k's run of the level order starts after the nodes of lower levels.
  Dag::Levels& levels = dag.levels_;
  for (std::size_t p : order) {
    if (level_of[p] + 2 > levels.starts_.size()) levels.starts_.resize(level_of[p] + 2, 0);
    ++levels.starts_[level_of[p] + 1];
  }
  for (std::size_t k = 1; k < levels.starts_.size(); ++k)
    levels.starts_[k] += levels.starts_[k - 1];
  levels.positions_.resize(order.size());
  std::vector<Dag::Position> fill(levels.starts_);
  for (std::size_t p : order)
    levels.positions_[fill[level_of[p]]++] = static_cast<Dag::Position>(p);
  return dag;
}

}  // namespace pelmo
