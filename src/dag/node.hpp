// The node record that the builder fills and the DAG core, the renderer and
// the bindings read. A record is small and flat: names, labels, functions,
// mappings and dependencies live in the tables of the node store, and the
// record holds indices into them.
#pragma once

#include <cstdint>
#include <limits>

#include "dag/name_table.hpp"

namespace pelmo {

using NodeId = std::uint64_t;

// One mapping: (broadcast_var, impl_var) for inputs, (impl_var,
// broadcast_var) for outputs.
struct NamePair {
  NameId first;
  NameId second;
};

// A stretch of one of the store's flat arrays.
struct Run {
  std::uint32_t begin = 0;
  std::uint32_t size = 0;
};

inline constexpr std::uint32_t kNoVariant = std::numeric_limits<std::uint32_t>::max();

struct Node {
  NodeId id = 0;
  std::uint32_t function = 0;  // in the store's function table
  NameId label = kNoName;      // in the store's label table
  Run inputs;                  // pairs, first names unique
  Run outputs;                 // pairs, first names unique
  Run dependencies;            // ids
  std::uint32_t variant_index = kNoVariant;
  bool is_branch = false;
  // Two outputs name one broadcast_var, so results must be handed on in
  // output order (the later output wins) rather than as they come. Set
  // when the store is frozen.
  bool outputs_collide = false;
};

}  // namespace pelmo
