// Argument binding for the methods that take arguments (positional or
// keyword, in parameter order), the conversions of single arguments, and the
// parser of `inputs` and `outputs`. Every failure raises a Python exception
// (PythonErrorAlreadySet). Requires the lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "builder/graph_builder.hpp"
#include "python_bindings/py_object.hpp"

namespace pelmo {

struct Signature {
  const char* method;                   // for messages, e.g. "add"
  std::vector<const char*> parameters;  // in positional order
  std::size_t required;                 // the first `required` are required
  // The first `positional` may be given by position; the rest only by
  // keyword.
  std::size_t positional = parameters.size();
};

// One borrowed object per parameter; null where the caller passed nothing.
std::vector<PyObject*> bind_arguments(const Signature& signature, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames);

// None and absence are both "no value".
bool is_absent(PyObject* argument) noexcept;

std::optional<std::string> label_argument(const Signature& signature, PyObject* argument);
bool bool_argument(const Signature& signature, const char* name, PyObject* argument);
// None, or an int (or an object with __index__) from 0 to 2**64 - 1.
std::optional<std::uint64_t> count_argument(const Signature& signature, const char* name,
                                            PyObject* argument);
// `functions` of variants: any sequence but str, iterated into references.
std::vector<PyObjectRef> callables_argument(const Signature& signature, PyObject* argument);

// `inputs` or `outputs`: a dict of str to str, or a list of 2-tuples of str,
// in order. None and absence give no pairs, as an empty dict or list does.
PairList pairs_argument(const Signature& signature, const char* name, PyObject* argument);

}  // namespace pelmo
