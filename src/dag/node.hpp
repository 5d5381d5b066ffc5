// The node record that the builder fills and the DAG core, the renderer and
// the bindings read, and the interface of the function every node carries.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "value/value.hpp"

namespace pelmo {

using NodeId = std::uint64_t;

// Name to name: broadcast_var to impl_var for inputs, impl_var to
// broadcast_var for outputs.
using NameMap = SeededMap<std::string>;

// Shared by every node made from one callable and safe to call from several
// threads at once. Takes the node's inputs (keyed by impl_var) and returns a
// new map of results (keyed by impl_var); it keeps no reference to the inputs.
// Ordinary failures are the implementation's to report: it still returns a
// map. Throwing ends the whole run.
class NodeFunction {
 public:
  // The collector's visit function; the object stays opaque here (a Python
  // object, in the module).
  using ReferenceVisitor = int (*)(void* object, void* arg);

  virtual ~NodeFunction() = default;
  virtual Context call(const Context& inputs) const = 0;

  // Hands `visit` each Python object this function holds a strong reference
  // to, and returns the first non-zero result of `visit` (0 when none).
  // Reads only what never changes after construction, so it may run while
  // other threads call the function. The owner of the nodes (a graph's
  // builder or a Dag) calls it once per distinct function.
  virtual int visit_references(ReferenceVisitor, void*) const { return 0; }
};

using SharedNodeFunction = std::shared_ptr<const NodeFunction>;

struct Node {
  NodeId id = 0;
  std::optional<std::string> label;
  SharedNodeFunction function;
  NameMap inputs;
  NameMap outputs;
  std::vector<NodeId> dependencies;
  std::optional<std::uint64_t> variant_index;
  bool is_branch = false;

  // A copy with its own mappings and one more holder of the function.
  Node clone() const {
    return Node{id,           label,         function, inputs.clone(), outputs.clone(),
                dependencies, variant_index, is_branch};
  }
};

}  // namespace pelmo
