// The instance layouts of the two classes and their type objects, which the
// module creates once per process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <optional>

#include "builder/graph_builder.hpp"
#include "dag/dag.hpp"
#include "dag/run_context.hpp"
#include "python_bindings/name_keys.hpp"
#include "python_bindings/reference_holders.hpp"

namespace pelmo {

struct PyGraph {
  PyObject_HEAD
  // Empty once the graph was built or given to another graph's branch.
  std::optional<GraphBuilder> builder;
  // Every function of the builder that holds Python objects, those of its
  // stored subgraphs included, each once: what the collector is shown. Kept
  // in step by the methods, so that a visit need not walk nested records.
  ReferenceHolders holders;
  // Set for the duration of one method call on this graph.
  bool busy;
};

struct PyDag {
  PyObject_HEAD
  Dag dag;
  // The distinct functions of the nodes that hold Python objects, listed
  // once at construction so that the collector's visits stay cheap.
  ReferenceHolders holders;
  // The names' str objects, made by the first run.
  NameKeys keys;
  // The emptied context of an earlier run, whose memory the next run takes
  // instead of making a table of places and touching all of it anew. Taken
  // and given back with the lock held.
  std::optional<RunContext> spare_context;
  // Calls currently using this Dag; shared use never conflicts. Atomic
  // because a call that the interpreter ends during shutdown leaves without
  // the lock.
  std::atomic<std::size_t> active_calls;
};

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A METH_FASTCALL | METH_KEYWORDS method travels in the PyCFunction slot.
inline PyCFunction fast_method(FastMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// New references to new type objects, or null with an exception set.
PyObject* create_graph_type();
PyObject* create_dag_type();

// The types made by the calls above; set once at module initialisation.
extern PyTypeObject* graph_type;
extern PyTypeObject* dag_type;

// A new Dag object owning `dag`; null with an exception set (or
// std::bad_alloc thrown).
PyObject* new_dag_object(Dag&& dag);

}  // namespace pelmo
