#include "dag/dag.hpp"

#include <algorithm>
#include <limits>

namespace pelmo {
namespace {

constexpr std::size_t kNoPosition = std::numeric_limits<std::size_t>::max();

}  // namespace

const Node* Dag::find(NodeId id) const noexcept {
  if (ids_are_positions_)
    return id < nodes_.size() ? &nodes_[static_cast<std::size_t>(id)] : nullptr;
  auto found = position_of_.find(id);
  return found == position_of_.end() ? nullptr : &nodes_[found->second];
}

Dag build_dag(std::vector<Node>&& nodes) {
  Dag dag;
  dag.nodes_ = std::move(nodes);
  const std::vector<Node>& all = dag.nodes_;
  const std::size_t count = all.size();

  for (std::size_t i = 0; i < count && dag.ids_are_positions_; ++i) {
    dag.ids_are_positions_ = all[i].id == i;
  }
  if (!dag.ids_are_positions_) {
    dag.position_of_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) dag.position_of_.emplace(all[i].id, i);  // first wins
  }
  auto position = [&](NodeId id) -> std::size_t {
    if (dag.ids_are_positions_) return id < count ? static_cast<std::size_t>(id) : kNoPosition;
    auto found = dag.position_of_.find(id);
    return found == dag.position_of_.end() ? kNoPosition : found->second;
  };

  // Each id counts once, at the position of its first record; a repeated id
  // adds its record's dependencies to that one, as one entry per id would.
  std::vector<std::size_t> owner(count);
  for (std::size_t i = 0; i < count; ++i) owner[i] = position(all[i].id);

  // In-degrees and successor lists, the latter flattened: successors of the
  // node at position p are successor_ids[successor_starts[p] ..
  // successor_starts[p + 1]), appended in node-vector order. A dependency on
  // an unknown id raises the in-degree for good.
  std::vector<std::size_t> in_degree(count, 0);
  std::vector<std::size_t> successor_starts(count + 1, 0);
  for (std::size_t i = 0; i < count; ++i) {
    in_degree[owner[i]] += all[i].dependencies.size();
    for (NodeId dependency : all[i].dependencies) {
      std::size_t from = position(dependency);
      if (from != kNoPosition) ++successor_starts[from + 1];
    }
  }
  for (std::size_t p = 0; p < count; ++p) successor_starts[p + 1] += successor_starts[p];
  std::vector<std::size_t> successors(successor_starts[count]);
  {
    std::vector<std::size_t> fill(successor_starts.begin(), successor_starts.end() - 1);
    for (std::size_t i = 0; i < count; ++i) {
      for (NodeId dependency : all[i].dependencies) {
        std::size_t from = position(dependency);
        if (from != kNoPosition) successors[fill[from]++] = owner[i];
      }
    }
  }

  // Kahn's algorithm; the order vector doubles as the first-in first-out queue.
  std::vector<std::size_t> order;
  order.reserve(count);
  for (std::size_t p = 0; p < count; ++p) {
    if (owner[p] == p && in_degree[p] == 0) order.push_back(p);
  }
  for (std::size_t head = 0; head < order.size(); ++head) {
    const std::size_t p = order[head];
    for (std::size_t s = successor_starts[p]; s < successor_starts[p + 1]; ++s) {
      if (--in_degree[successors[s]] == 0) order.push_back(successors[s]);
    }
  }

  // The later records of a repeated id, chained from its first record, so
  // that their dependencies count towards its level as well as its order.
  std::vector<std::size_t> next_record;
  if (!dag.ids_are_positions_ && dag.position_of_.size() < count) {
    next_record.assign(count, kNoPosition);
    std::vector<std::size_t> last_record(count, kNoPosition);
    for (std::size_t i = 0; i < count; ++i) {
      if (owner[i] == i) continue;
      std::size_t& last = last_record[owner[i]];
      next_record[last == kNoPosition ? owner[i] : last] = i;
      last = i;
    }
  }

  // Level of a node: one more than its deepest dependency. Every dependency
  // of a runnable node is runnable and comes earlier in the order.
  std::vector<std::size_t> level_of(count, 0);
  std::size_t level_count = 0;
  std::vector<std::size_t> level_sizes;
  for (std::size_t p : order) {
    std::size_t level = 0;
    for (std::size_t r = p; r != kNoPosition;
         r = next_record.empty() ? kNoPosition : next_record[r]) {
      for (NodeId dependency : all[r].dependencies) {
        level = std::max(level, level_of[position(dependency)] + 1);
      }
    }
    level_of[p] = level;
    if (level + 1 > level_count) {
      level_count = level + 1;
      level_sizes.resize(level_count, 0);
    }
    ++level_sizes[level];
  }

  dag.execution_order_.reserve(order.size());
  for (std::size_t p : order) dag.execution_order_.push_back(all[p].id);

  Dag::Levels& levels = dag.levels_;
  if (level_count > 0) {
    levels.starts_.assign(level_count + 1, 0);
    for (std::size_t level = 0; level < level_count; ++level) {
      levels.starts_[level + 1] = levels.starts_[level] + level_sizes[level];
    }
    levels.ids_.resize(order.size());
    std::vector<std::size_t> fill(levels.starts_.begin(), levels.starts_.end() - 1);
    for (std::size_t p : order) levels.ids_[fill[level_of[p]]++] = all[p].id;
  }
  return dag;
}

}  // namespace pelmo
