// Shared by the value, DAG and execution tests: nodes written as texts and
// entered into a store, contexts, and counted stand-ins for the shared
// objects values carry.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dag/dag.hpp"
#include "dag/node_store.hpp"
#include "value/value.hpp"

namespace pelmo::testing {

// A node record as the tests write it, texts and all; `dag_of_specs` enters
// it into a store. `inputs` pairs are (broadcast_var, impl_var), `outputs`
// (impl_var, broadcast_var).
struct NodeSpec {
  NodeId id = 0;
  std::vector<NodeId> dependencies;
  SharedNodeFunction function;
  PairList inputs;
  PairList outputs;
  std::optional<std::string> label;
  std::uint32_t variant_index = kNoVariant;
  bool is_branch = false;
};

using NamePairs = std::initializer_list<std::pair<const char*, const char*>>;

inline NodeSpec make_node(NodeId id, std::vector<NodeId> dependencies,
                          SharedNodeFunction function = nullptr, NamePairs inputs = {},
                          NamePairs outputs = {}) {
  return NodeSpec{id,
                  std::move(dependencies),
                  std::move(function),
                  PairList(inputs.begin(), inputs.end()),
                  PairList(outputs.begin(), outputs.end()),
                  std::nullopt,
                  kNoVariant,
                  false};
}

// Every record gets a function entry, a null one included: the executor
// looks each record's entry up.
inline Dag dag_of_specs(std::vector<NodeSpec> specs) {
  NodeStore store;
  for (const NodeSpec& spec : specs) {
    Node node;
    node.id = spec.id;
    node.function = store.add_function(spec.function);
    if (spec.label) node.label = store.add_label(*spec.label);
    node.inputs = store.add_pairs(spec.inputs);
    node.outputs = store.add_pairs(spec.outputs);
    node.dependencies = store.add_dependencies(spec.dependencies);
    node.variant_index = spec.variant_index;
    node.is_branch = spec.is_branch;
    store.add_node(node);
  }
  return build_dag(std::move(store));
}

// The Dag's views hold record positions; the tests speak of ids. A position
// past the records reads as an id no test uses.
inline NodeId id_at(const Dag& dag, Dag::Position position) {
  return position < dag.node_count() ? dag.nodes()[position].id
                                     : std::numeric_limits<NodeId>::max();
}

inline std::vector<NodeId> order_of(const Dag& dag) {
  std::vector<NodeId> ids;
  for (Dag::Position position : dag.execution_order()) ids.push_back(id_at(dag, position));
  return ids;
}

inline Context ints(std::initializer_list<std::pair<const char*, std::int64_t>> entries) {
  Context context;
  for (const auto& [name, number] : entries) context.insert(name, Value::integer(number));
  return context;
}

// The integer under `name`, or -1 when the name is absent.
inline std::int64_t int_at(const Context& context, const char* name) {
  const Value* value = context.get(name);
  return value == nullptr ? -1 : value->as_int();
}

// Stand-ins for shared objects: tokens whose references are counted, on any
// thread. A test fails when a token is copied or released after its last
// release, when a handle it never made is released, or when a reference is
// still held as the CountedObjects ends. One at a time per process.
class CountedObjects {
 public:
  CountedObjects() = default;
  CountedObjects(const CountedObjects&) = delete;
  CountedObjects& operator=(const CountedObjects&) = delete;
  ~CountedObjects() {
    Table& table = shared_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (const auto& [token, references] : table.references)
      EXPECT_EQ(references, 0) << "a shared object was never released";
    table.references.clear();
    table.tokens.clear();
  }

  // A handle holding the only reference to a new token.
  ObjectHandle make() {
    Table& table = shared_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    void* token = &table.tokens.emplace_back();
    table.references[token] = 1;
    return ObjectHandle::adopt(token, kOps);
  }

  // References held to the token: 0 once all are released.
  long references(const ObjectHandle& handle) const {
    Table& table = shared_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.references.find(handle.get());
    return found == table.references.end() ? -1 : found->second;
  }

 private:
  struct Table {
    std::mutex mutex;
    std::deque<char> tokens;  // addresses stay put as it grows
    std::map<const void*, long> references;
  };
  static Table& shared_table() {
    static Table table;
    return table;
  }
  static void change(void* token, long by) noexcept {
    Table& table = shared_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.references.find(token);
    if (found == table.references.end() || found->second == 0) {
      ADD_FAILURE() << "a shared object was used after its last release, or never made";
      return;
    }
    found->second += by;
  }
  static constexpr ObjectOps kOps{[](void* token) { change(token, +1); },
                                  [](void* token) noexcept { change(token, -1); }};
};

// Node records and DAG shapes for the builder, DAG and Mermaid tests.

class Noop final : public NodeFunction {
 public:
  void call(NodeCall&) const override {}
};

inline SharedNodeFunction noop() { return std::make_shared<const Noop>(); }

inline NodeSpec labelled_node(NodeId id, std::optional<std::string> label,
                              std::vector<NodeId> dependencies, NamePairs inputs = {},
                              NamePairs outputs = {}) {
  NodeSpec spec = make_node(id, std::move(dependencies), noop(), inputs, outputs);
  spec.label = std::move(label);
  return spec;
}

inline std::vector<std::vector<NodeId>> levels_of(const Dag& dag) {
  std::vector<std::vector<NodeId>> levels;
  for (std::size_t level = 0; level < dag.levels().size(); ++level) {
    std::vector<NodeId>& ids = levels.emplace_back();
    for (Dag::Position position : dag.levels()[level]) ids.push_back(id_at(dag, position));
  }
  return levels;
}

}  // namespace pelmo::testing
