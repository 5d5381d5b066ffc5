// The tables behind a graph's node records: the records themselves, the
// interned mapping names and labels, one entry per distinct function, and
// the flat arrays of mappings and dependencies that records point into. A
// builder fills one; a Dag takes it over, frozen.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dag/name_table.hpp"
#include "dag/node.hpp"
#include "dag/node_function.hpp"

namespace pelmo {

// Mappings as they come in: (broadcast_var, impl_var) or (impl_var,
// broadcast_var) texts, in argument order, duplicates included.
using PairList = std::vector<std::pair<std::string, std::string>>;

class NodeStore {
 public:
  // Another store's tables as entered into this one by `import_tables`.
  struct Import {
    std::vector<NameId> names;
    std::vector<NameId> labels;
    std::vector<std::uint32_t> functions;
    std::uint32_t pair_offset = 0;  // where its mappings now start
  };

  std::span<const Node> nodes() const noexcept { return nodes_; }
  std::size_t size() const noexcept { return nodes_.size(); }
  const NameTable& names() const noexcept { return names_; }
  const std::vector<SharedNodeFunction>& functions() const noexcept { return functions_; }

  std::span<const NamePair> pairs(Run run) const noexcept {
    return {pairs_.data() + run.begin, run.size};
  }
  std::span<const NodeId> dependencies(const Node& node) const noexcept {
    return {dependency_ids_.data() + node.dependencies.begin, node.dependencies.size};
  }
  std::optional<std::string_view> label(const Node& node) const noexcept {
    if (node.label == kNoName) return std::nullopt;
    return labels_[node.label];
  }
  const NodeFunction* function(const Node& node) const noexcept {
    return functions_[node.function].get();
  }

  // Each distinct function (by identity) is entered once.
  std::uint32_t add_function(const SharedNodeFunction& function);
  NameId add_label(std::string_view label) { return labels_.intern(label); }
  // Later pairs with the same first name replace the second name of the
  // earlier one, which keeps its position.
  Run add_pairs(const PairList& pairs);
  Run add_dependencies(std::span<const NodeId> ids);
  void add_node(const Node& node) { nodes_.push_back(node); }
  void reserve_nodes(std::size_t count);

  // Enters `other`'s names, labels and functions, and appends its mappings,
  // so that its records can be copied in with their indices translated.
  Import import_tables(const NodeStore& other);

  // Nothing more will be added: names are numbered in order of first use
  // by the records' mappings (names no record uses go), lookup indices are
  // dropped, and each node learns whether its outputs collide.
  void freeze();

 private:
  void number_names_by_use();

  std::vector<Node> nodes_;
  NameTable names_;
  NameTable labels_;
  std::vector<SharedNodeFunction> functions_;
  std::unordered_map<const NodeFunction*, std::uint32_t> function_positions_;
  std::vector<NamePair> pairs_;
  std::vector<NodeId> dependency_ids_;
};

}  // namespace pelmo
