// The node functions the Python layer makes: one that calls a Python
// callable with a dict of the node's inputs, and one that does nothing.
// Failures of the callable are printed on sys.stderr and give an empty
// result; only SystemExit, KeyboardInterrupt and a raising signal handler
// leave the run, to be raised by `execute`.
#pragma once

#include "dag/node.hpp"
#include "python_bindings/py_object.hpp"

namespace pelmo {

class NoopNodeFunction final : public NodeFunction {
 public:
  Context call(const Context& inputs) const override;
};

class PyNodeFunction final : public NodeFunction {
 public:
  // Holds its own reference; the object is not checked for being callable.
  explicit PyNodeFunction(PyObjectRef callable) noexcept : callable_(std::move(callable)) {}
  Context call(const Context& inputs) const override;
  int visit_references(ReferenceVisitor visit, void* arg) const override;

 private:
  PyObjectRef callable_;
};

// Writes `message` to sys.stderr; any failure on the way is swallowed.
// Requires the lock.
void write_to_stderr(const std::string& message);

}  // namespace pelmo
