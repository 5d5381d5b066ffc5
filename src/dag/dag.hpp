// The immutable, executable graph: the node store in builder order, frozen,
// and the two views computed once at construction, a topological order of
// the runnable nodes and their dependency levels, both as record positions.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

#include "dag/node_store.hpp"

namespace pelmo {

// Where each id stands in a record vector: the position of its first record.
// Builders hand out ids 0, 1, 2... in vector order, which needs no table;
// any other id set goes through a hash index.
class IdPositions {
 public:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  IdPositions() = default;
  explicit IdPositions(std::span<const Node> nodes);

  // Constant time; kNone for an id that no record has.
  std::size_t operator()(NodeId id) const noexcept {
    if (ids_are_positions_) return id < count_ ? static_cast<std::size_t>(id) : kNone;
    auto found = first_record_.find(id);
    return found == first_record_.end() ? kNone : found->second;
  }
  bool ids_unique() const noexcept { return ids_are_positions_ || first_record_.size() == count_; }

 private:
  std::size_t count_ = 0;
  bool ids_are_positions_ = true;
  std::unordered_map<NodeId, std::size_t> first_record_;
};

class Dag {
 public:
  // Record positions; a store holds fewer than 2^32 records.
  using Position = std::uint32_t;

  // Nodes grouped by level; level k is a contiguous run of the level order.
  class Levels {
   public:
    std::size_t size() const noexcept { return starts_.empty() ? 0 : starts_.size() - 1; }
    bool empty() const noexcept { return size() == 0; }
    std::span<const Position> operator[](std::size_t level) const noexcept {
      return {positions_.data() + starts_[level], starts_[level + 1] - starts_[level]};
    }

   private:
    friend Dag build_dag(NodeStore&& store);
    std::vector<Position> positions_;
    std::vector<Position> starts_;  // size() + 1 offsets into positions_
  };

  Dag(Dag&&) noexcept = default;
  Dag& operator=(Dag&&) noexcept = default;

  const NodeStore& store() const noexcept { return store_; }
  std::span<const Node> nodes() const noexcept { return store_.nodes(); }
  const std::vector<Position>& execution_order() const noexcept { return execution_order_; }
  const Levels& levels() const noexcept { return levels_; }
  std::size_t node_count() const noexcept { return store_.size(); }
  // Positions in nodes(); a built graph's ids are unique.
  const IdPositions& positions() const noexcept { return positions_; }

  // The first record with this id, or null. Constant time.
  const Node* find(NodeId id) const noexcept {
    const std::size_t position = positions_(id);
    return position == IdPositions::kNone ? nullptr : &store_.nodes()[position];
  }

 private:
  friend Dag build_dag(NodeStore&& store);
  Dag() = default;

  NodeStore store_;
  std::vector<Position> execution_order_;
  Levels levels_;
  IdPositions positions_;
};

// Orders the nodes (Kahn's algorithm, first-in first-out) and groups them by
// level. Nodes on a cycle, or depending on an id that names no node, or on
// such a node, are left out of both views; nothing is reported. A later
// record with an id already taken is no node of its own: its dependencies
// count as the first record's. The store is frozen.
Dag build_dag(NodeStore&& store);

}  // namespace pelmo
