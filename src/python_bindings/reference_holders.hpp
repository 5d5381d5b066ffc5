// The node functions through which a Graph or a Dag holds Python objects,
// listed once each, so that both classes can report their references to
// Python's cyclic garbage collector.
//
// The collector subtracts one reference for every visit, so each strong
// reference must be visited exactly once. A node function is shared by
// every node made from it (variant paths, branch copies, stored subgraphs),
// but all those nodes belong to one owner at a time: builders and Dags are
// moved from one owner to the next, never copied. So each owner lists each
// of its functions once, and a function leaves one owner's list when it
// joins another's.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "dag/node.hpp"

namespace pelmo {

class ReferenceHolders {
 public:
  // The distinct functions of `nodes` that hold Python objects.
  static ReferenceHolders of(const std::vector<Node>& nodes);

  // `function` is new to the owner: no list holds it yet.
  void add(SharedNodeFunction function) { functions_.push_back(std::move(function)); }
  // Takes over the functions of an owner that hands all its nodes over.
  void take_all(ReferenceHolders&& other);

  // Visits the Python references of every listed function; the first
  // non-zero result of `visit` ends the walk and is returned. Allocates
  // nothing and reads only what its owner never changes while it may run.
  int traverse(visitproc visit, void* arg) const;

 private:
  std::vector<SharedNodeFunction> functions_;
};

}  // namespace pelmo
