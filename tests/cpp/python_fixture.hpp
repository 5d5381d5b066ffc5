// Helpers for tests that handle Python objects: owned test objects, their
// reference counts, and a scope in which this thread has given up the lock
// the way a DAG run does.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "value/py_object.hpp"

namespace pelmo::testing {

// Releases the interpreter lock and the module's hold on it for the scope.
class WithoutGil {
 public:
  WithoutGil() : saved_depth_(gil_scope::suspend()), state_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() {
    PyEval_RestoreThread(state_);
    gil_scope::resume(saved_depth_);
  }

 private:
  int saved_depth_;
  PyThreadState* state_;
};

inline Py_ssize_t refcount(PyObject* object) { return Py_REFCNT(object); }

}  // namespace pelmo::testing
