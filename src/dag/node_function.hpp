// The interface of the function every node carries, and the call through
// which the executor hands it a node's inputs and takes its results.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "dag/node.hpp"
#include "value/value.hpp"

namespace pelmo {

class RunContext;

// One input as the function sees it: the impl_var and the value it gets.
// A later input with the same impl_var replaces an earlier one.
struct NodeInput {
  NameId name;
  const Value* value;
};

// A single call of a node's function. The inputs point into the run's
// context, so keeping a result may replace one of them: a function reads
// its inputs first. Each result goes to the run as it is kept, except on a
// node whose outputs collide: there results wait for `publish`, which
// hands them on in output order, so that of two outputs naming one
// broadcast_var the later one wins.
class NodeCall {
 public:
  // The results go straight into `context` (one node at a time), or to
  // `pending` to be merged once the level's nodes are all done. `kept` is
  // empty, or has a place for each output when they collide.
  NodeCall(const NameTable& names, std::span<const NodeInput> inputs,
           std::span<const NamePair> outputs, std::span<std::optional<Value>> kept,
           RunContext* context, std::vector<std::pair<NameId, Value>>* pending,
           const void* environment) noexcept
      : names_(names),
        inputs_(inputs),
        outputs_(outputs),
        kept_(kept),
        context_(context),
        pending_(pending),
        environment_(environment) {}

  // The Dag's names, for the ids below.
  const NameTable& names() const noexcept { return names_; }
  std::span<const NodeInput> inputs() const noexcept { return inputs_; }
  // (impl_var, broadcast_var) pairs; the function looks for the first names
  // among its results.
  std::span<const NamePair> outputs() const noexcept { return outputs_; }
  // What the caller of the run handed over for its functions; opaque here.
  const void* environment() const noexcept { return environment_; }

  // The result for outputs()[output]; a later one replaces it. Values
  // replaced in the context are released here or by `publish`, so a
  // function whose values need a lock to be released calls both while it
  // holds it; the executor calls `publish` again after the function returns.
  void keep(std::size_t output, Value&& value) {
    if (kept_.empty()) {
      hand_on(outputs_[output].second, std::move(value));
    } else {
      kept_[output] = std::move(value);
    }
  }

  // By text, for functions written in C++: the input that `impl_var` gets
  // (null when none), and keeping a result for it (ignored when the node
  // does not map it). Linear in the node's mappings.
  const Value* input(std::string_view impl_var) const noexcept;
  void keep(std::string_view impl_var, Value&& value);

  // Hands the results that wait to the run. Calling it again does nothing.
  void publish();

 private:
  void hand_on(NameId name, Value&& value);

  const NameTable& names_;
  std::span<const NodeInput> inputs_;
  std::span<const NamePair> outputs_;
  std::span<std::optional<Value>> kept_;
  RunContext* context_;
  std::vector<std::pair<NameId, Value>>* pending_;
  const void* environment_;
};

// Shared by every node made from one callable and safe to call from several
// threads at once. Ordinary failures are the implementation's to report: it
// just keeps no results. Throwing ends the whole run.
class NodeFunction {
 public:
  // The collector's visit function; the object stays opaque here (a Python
  // object, in the module).
  using ReferenceVisitor = int (*)(void* object, void* arg);

  virtual ~NodeFunction() = default;
  virtual void call(NodeCall& call) const = 0;

  // Hands `visit` each Python object this function holds a strong reference
  // to, and returns the first non-zero result of `visit` (0 when none).
  // Reads only what never changes after construction, so it may run while
  // other threads call the function. The owner of the nodes (a graph's
  // builder or a Dag) calls it once per distinct function.
  virtual int visit_references(ReferenceVisitor, void*) const { return 0; }
};

using SharedNodeFunction = std::shared_ptr<const NodeFunction>;

}  // namespace pelmo
