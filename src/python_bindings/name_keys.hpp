// The Python str objects of a Dag's names, made on its first run and kept
// for every later one: the keys of the dicts that callables get and of the
// dict that `execute` returns. Names that nodes use as impl_vars are
// interned, so that the literal keys of a callable's result are the very
// same objects and match by identity.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "dag/node_store.hpp"
#include "python_bindings/py_object.hpp"

namespace pelmo {

class NameKeys {
 public:
  bool ready() const noexcept { return made_; }
  // Makes every key. Requires the lock; throws ConversionError when the
  // interpreter cannot make one (and leaves no key made).
  void make(const NodeStore& store);

  // Borrowed; valid once `ready`.
  PyObject* operator[](NameId name) const noexcept { return keys_[name].get(); }

  // Whether the str `key` has the text of `name`: by identity first, which
  // is the common case, then by comparing the texts (a str subclass, or a
  // key made at run time). Requires the lock.
  bool matches(PyObject* key, NameId name) const noexcept {
    PyObject* own = keys_[name].get();
    return key == own || (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(own) &&
                          PyUnicode_Compare(key, own) == 0);
  }

 private:
  std::vector<PyObjectRef> keys_;
  bool made_ = false;
};

}  // namespace pelmo
