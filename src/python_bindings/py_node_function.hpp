// The node functions the Python layer makes: one that calls a Python
// callable with a dict of the node's inputs, and one that does nothing.
// Failures of the callable are reported (failure_report.hpp) and give no
// results, unless the run raises them (NodeFailure); SystemExit,
// KeyboardInterrupt and a raising signal handler always leave the run, to
// be raised by `execute`. Runs hand them a PythonRun as the call's
// environment.
#pragma once

#include <string>

#include "dag/node_function.hpp"
#include "python_bindings/py_object.hpp"

namespace pelmo {

struct PythonRun;

class NoopNodeFunction final : public NodeFunction {
 public:
  void call(NodeCall&) const override {}
};

// One no-op function for every node added without a callable.
const SharedNodeFunction& noop_node_function();

class PyNodeFunction final : public NodeFunction {
 public:
  // Holds its own reference; the object is not checked for being callable.
  explicit PyNodeFunction(PyObjectRef callable) noexcept : callable_(std::move(callable)) {}
  void call(NodeCall& call) const override;
  int visit_references(ReferenceVisitor visit, void* arg) const override;
  // Borrowed.
  PyObject* callable() const noexcept { return callable_.get(); }

 private:
  void call_with_lock(NodeCall& call, const PythonRun& run) const;

  PyObjectRef callable_;
};

}  // namespace pelmo
