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
//
// A graph also makes one function per distinct callable: every node added
// with the same callable shares it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "dag/node_function.hpp"

namespace pelmo {

class ReferenceHolders {
 public:
  // Those of `functions` (distinct) that hold Python objects.
  static ReferenceHolders of(const std::vector<SharedNodeFunction>& functions);

  // The function that calls `callable`: the one this owner made for it
  // before, or a new one, listed.
  SharedNodeFunction function_for(PyObject* callable);
  // Takes over the functions of an owner that hands all its nodes over.
  void take_all(ReferenceHolders&& other);

  // Visits the Python references of every listed function; the first
  // non-zero result of `visit` ends the walk and is returned. Allocates
  // nothing and reads only what its owner never changes while it may run.
  int traverse(visitproc visit, void* arg) const;

 private:
  std::vector<SharedNodeFunction> functions_;
  // Callable to its function's position in functions_. The function holds
  // the callable, so the address cannot be reused while the entry exists.
  std::unordered_map<PyObject*, std::size_t> made_for_;
};

}  // namespace pelmo
