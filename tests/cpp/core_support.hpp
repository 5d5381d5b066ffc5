// Shared by the value, DAG and execution tests: terse node records and
// contexts, and counted stand-ins for the shared objects values carry.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dag/dag.hpp"
#include "dag/node.hpp"
#include "value/value.hpp"

namespace pelmo::testing {

using NamePairs = std::initializer_list<std::pair<const char*, const char*>>;

inline NameMap names(NamePairs pairs) {
  NameMap map;
  for (const auto& [from, to] : pairs) map.insert(from, to);
  return map;
}

// `inputs` pairs are (broadcast_var, impl_var), `outputs` (impl_var, broadcast_var).
inline Node make_node(NodeId id, std::vector<NodeId> dependencies,
                      SharedNodeFunction function = nullptr, NamePairs inputs = {},
                      NamePairs outputs = {}) {
  Node node;
  node.id = id;
  node.function = std::move(function);
  node.inputs = names(inputs);
  node.outputs = names(outputs);
  node.dependencies = std::move(dependencies);
  return node;
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
  Context call(const Context&) const override { return {}; }
};

inline SharedNodeFunction noop() { return std::make_shared<const Noop>(); }

inline Node labelled_node(NodeId id, std::optional<std::string> label,
                          std::vector<NodeId> dependencies, NamePairs inputs = {},
                          NamePairs outputs = {}) {
  Node node = make_node(id, std::move(dependencies), noop(), inputs, outputs);
  node.label = std::move(label);
  return node;
}

inline std::vector<std::vector<NodeId>> levels_of(const Dag& dag) {
  std::vector<std::vector<NodeId>> levels;
  for (std::size_t level = 0; level < dag.levels().size(); ++level) {
    auto ids = dag.levels()[level];
    levels.emplace_back(ids.begin(), ids.end());
  }
  return levels;
}

}  // namespace pelmo::testing
