#include "dag/node_store.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace pelmo {
namespace {

// Records index the arrays with 32 bits.
std::uint32_t index_of_next(std::size_t size) {
  if (size >= std::numeric_limits<std::uint32_t>::max())
    throw std::length_error("a graph's tables are limited to 2^32 - 1 entries");
  return static_cast<std::uint32_t>(size);
}

// Geometric growth for appends whose count is known: repeated exact
// reservations would move the whole array each time.
template <typename T>
void reserve_more(std::vector<T>& items, std::size_t more) {
  const std::size_t needed = items.size() + more;
  if (needed > items.capacity()) items.reserve(std::max(needed, 2 * items.capacity()));
}

}  // namespace

std::uint32_t NodeStore::add_function(const SharedNodeFunction& function) {
  auto [found, added] =
      function_positions_.try_emplace(function.get(), index_of_next(functions_.size()));
  if (added) {
    try {
      functions_.push_back(function);
    } catch (...) {
      function_positions_.erase(found);
      throw;
    }
  }
  return found->second;
}

Run NodeStore::add_pairs(const PairList& pairs) {
  const Run run{index_of_next(pairs_.size()), 0};
  reserve_more(pairs_, pairs.size());
  // A handful of pairs is searched in place; a long list through a table.
  constexpr std::size_t kScanLimit = 16;
  std::unordered_map<NameId, std::uint32_t> position_of_first;
  for (const auto& [first_text, second_text] : pairs) {
    const NamePair pair{names_.intern(first_text), names_.intern(second_text)};
    const std::uint32_t next = index_of_next(pairs_.size());
    if (pairs.size() <= kScanLimit) {
      auto same =
          std::find_if(pairs_.begin() + run.begin, pairs_.end(),
                       [&](const NamePair& entered) { return entered.first == pair.first; });
      if (same != pairs_.end()) {
        same->second = pair.second;
        continue;
      }
    } else {
      auto [found, added] = position_of_first.try_emplace(pair.first, next);
      if (!added) {
        pairs_[found->second].second = pair.second;
        continue;
      }
    }
    pairs_.push_back(pair);
  }
  return Run{run.begin, static_cast<std::uint32_t>(pairs_.size() - run.begin)};
}

Run NodeStore::add_dependencies(std::span<const NodeId> ids) {
  if (ids.empty()) return Run{};
  // The end is checked: begin and size are then in range too.
  index_of_next(dependency_ids_.size() + ids.size());
  const Run run{static_cast<std::uint32_t>(dependency_ids_.size()),
                static_cast<std::uint32_t>(ids.size())};
  reserve_more(dependency_ids_, ids.size());
  dependency_ids_.insert(dependency_ids_.end(), ids.begin(), ids.end());
  return run;
}

void NodeStore::reserve_nodes(std::size_t count) {
  index_of_next(nodes_.size() + count);
  reserve_more(nodes_, count);
}

NodeStore::Import NodeStore::import_tables(const NodeStore& other) {
  Import import;
  import.names.reserve(other.names_.size());
  for (NameId id = 0; id < other.names_.size(); ++id)
    import.names.push_back(names_.intern(other.names_[id]));
  import.labels.reserve(other.labels_.size());
  for (NameId id = 0; id < other.labels_.size(); ++id)
    import.labels.push_back(labels_.intern(other.labels_[id]));
  import.functions.reserve(other.functions_.size());
  for (const SharedNodeFunction& function : other.functions_)
    import.functions.push_back(add_function(function));
  import.pair_offset = index_of_next(pairs_.size());
  index_of_next(pairs_.size() + other.pairs_.size());
  reserve_more(pairs_, other.pairs_.size());
  for (const NamePair& pair : other.pairs_)
    pairs_.push_back(NamePair{import.names[pair.first], import.names[pair.second]});
  return import;
}

// Names are numbered again in order of first appearance in the mappings
// that records keep: records in order, inputs before outputs, each pair's
// first name before its second. Names entered for pairs that a later pair
// replaced, or for a `variants` call without functions, drop out.
void NodeStore::number_names_by_use() {
  std::vector<NameId> renumbered(names_.size(), kNoName);
  NameTable kept;
  auto keep = [&](NameId name) {
    if (renumbered[name] == kNoName) renumbered[name] = kept.intern(names_[name]);
  };
  for (const Node& node : nodes_) {
    for (const Run run : {node.inputs, node.outputs}) {
      for (const NamePair& pair : pairs(run)) {
        keep(pair.first);
        keep(pair.second);
      }
    }
  }
  // Pairs that no record uses keep no name.
  for (NamePair& pair : pairs_) pair = NamePair{renumbered[pair.first], renumbered[pair.second]};
  names_ = std::move(kept);
}

void NodeStore::freeze() {
  number_names_by_use();
  std::vector<NameId> targets;
  for (Node& node : nodes_) {
    if (node.outputs.size < 2) continue;
    targets.clear();
    for (const NamePair& pair : pairs(node.outputs)) targets.push_back(pair.second);
    std::sort(targets.begin(), targets.end());
    node.outputs_collide = std::adjacent_find(targets.begin(), targets.end()) != targets.end();
  }
  names_.freeze();
  labels_.freeze();
  std::unordered_map<const NodeFunction*, std::uint32_t>().swap(function_positions_);
}

}  // namespace pelmo
