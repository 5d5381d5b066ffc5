// The Python str objects of a Dag's names, made on its first run and kept
// for every later one: the keys of the dicts that callables get and of the
// dict that `execute` returns, and the tables that find a name by its text.
// Names that nodes use as impl_vars are interned, so that the literal keys
// of a callable's result are the very same objects and match by identity.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "dag/node_store.hpp"
#include "python_bindings/py_object.hpp"

namespace pelmo {

class NameKeys {
 public:
  bool ready() const noexcept { return made_; }
  // Makes every key and table, unless another thread has made them
  // meanwhile. Requires the lock; throws PythonExceptionEscape or
  // PythonErrorAlreadySet when the interpreter cannot make one (and leaves
  // nothing made).
  void make(const NodeStore& store);

  // Borrowed; valid once `ready`.
  PyObject* operator[](NameId name) const noexcept { return keys_[name].get(); }

  // Whether some node's outputs write `name` into the context.
  bool written(NameId name) const noexcept { return written_[name]; }

  // The name whose text `key` (a str) has, if the Dag has one. Requires the
  // lock; throws PythonErrorAlreadySet.
  std::optional<NameId> find(PyObject* key) const;

  // The position in `outputs` (a node's output pairs) of the pair whose
  // impl_var has the text of `key` (a str), or -1. Constant time for any
  // number of outputs. Requires the lock; throws PythonErrorAlreadySet.
  std::ptrdiff_t output_for(PyObject* key, std::span<const NamePair> outputs) const;

 private:
  // Up to this many outputs, comparing the key with each beats a lookup.
  static constexpr std::size_t kScanLimit = 8;

  // Whether the str `key` has the text of `name`: by identity first, which
  // is the common case, then by comparing the texts.
  bool matches(PyObject* key, NameId name) const noexcept {
    PyObject* own = keys_[name].get();
    return key == own || (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(own) &&
                          PyUnicode_Compare(key, own) == 0);
  }

  std::vector<PyObjectRef> keys_;
  std::vector<bool> written_;
  // str -> name id, over every name.
  PyObjectRef ids_;
  // For each run of more than kScanLimit output pairs, by where it starts:
  // impl_var str -> position in the run.
  std::unordered_map<const NamePair*, PyObjectRef> output_positions_;
  bool made_ = false;
};

}  // namespace pelmo
