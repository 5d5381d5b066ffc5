// Shared by the value, DAG and execution tests: terse node records and
// contexts, and Python objects whose end a test can observe.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <memory>
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

// A set: weakly referenceable, and referred to by nothing but the result.
inline PyObjectRef new_python_object() { return PyObjectRef::steal(PySet_New(nullptr)); }

// Tells whether an object still exists without keeping it alive. Needs the
// lock for its whole life.
class Watch {
 public:
  explicit Watch(PyObject* object) : weak_(PyWeakref_NewRef(object, nullptr)) {}
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  ~Watch() { Py_DECREF(weak_); }
  bool alive() const {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(weak_, &target) <= 0) return false;
    Py_DECREF(target);
    return true;
#else
    return PyWeakref_GetObject(weak_) != Py_None;
#endif
  }

 private:
  PyObject* weak_;
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
