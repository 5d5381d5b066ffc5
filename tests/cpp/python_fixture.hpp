// Helpers for the tests of the Python side, which run inside an embedded
// interpreter: owned test objects, their reference counts and their end.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python_bindings/gil.hpp"
#include "python_bindings/py_object.hpp"

namespace pelmo::testing {

inline Py_ssize_t refcount(PyObject* object) { return Py_REFCNT(object); }

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

}  // namespace pelmo::testing
