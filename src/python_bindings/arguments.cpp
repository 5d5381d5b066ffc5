#include "python_bindings/arguments.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "python_bindings/entry_point.hpp"

namespace pelmo {
namespace {

[[noreturn]] void raise_type_error(const Signature& signature, const char* name,
                                   const char* expected, PyObject* got) {
  raise(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", signature.method, name,
        expected, Py_TYPE(got)->tp_name);
}

std::string utf8_text(PyObject* text) {
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
  if (bytes == nullptr) throw PythonErrorAlreadySet();
  return std::string(bytes, static_cast<std::size_t>(size));
}

// The whole name must match: a keyword with an embedded NUL is another name.
bool keyword_is(PyObject* keyword, std::string_view name) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(text, static_cast<std::size_t>(size)) == name;
}

// The first text is converted before the second is looked at, so a first
// text that cannot be encoded is the error whatever the second one is.
// `raise_not_text` raises the error for an element that is not a str.
template <typename RaiseNotText>
std::pair<std::string, std::string> text_pair(PyObject* first, PyObject* second,
                                              RaiseNotText&& raise_not_text) {
  if (!PyUnicode_Check(first)) raise_not_text(first);
  std::string first_text = utf8_text(first);
  if (!PyUnicode_Check(second)) raise_not_text(second);
  return {std::move(first_text), utf8_text(second)};
}

}  // namespace

std::vector<PyObject*> bind_arguments(const Signature& signature, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames) {
  const std::size_t count = signature.parameters.size();
  const std::size_t positional = signature.positional;
  if (static_cast<std::size_t>(nargs) > positional) {
    raise(PyExc_TypeError, "%s() takes at most %zu %sargument%s (%zd given)", signature.method,
          positional, positional == count ? "" : "positional ", positional == 1 ? "" : "s", nargs);
  }
  std::vector<PyObject*> bound(count, nullptr);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t slot = count;
    for (std::size_t p = 0; p < count; ++p) {
      if (keyword_is(keyword, signature.parameters[p])) {
        slot = p;
        break;
      }
    }
    if (slot == count) {
      raise(PyExc_TypeError, "%s() got an unexpected keyword argument %R", signature.method,
            keyword);
    }
    if (bound[slot] != nullptr) {
      raise(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.method,
            signature.parameters[slot]);
    }
    bound[slot] = args[nargs + k];
  }
  for (std::size_t p = 0; p < signature.required; ++p) {
    if (bound[p] == nullptr) {
      raise(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", signature.method,
            signature.parameters[p], p + 1);
    }
  }
  return bound;
}

bool is_absent(PyObject* argument) noexcept { return argument == nullptr || argument == Py_None; }

std::optional<std::string> label_argument(const Signature& signature, PyObject* argument) {
  if (is_absent(argument)) return std::nullopt;
  if (!PyUnicode_Check(argument)) raise_type_error(signature, "label", "str or None", argument);
  return utf8_text(argument);
}

bool bool_argument(const Signature& signature, const char* name, PyObject* argument) {
  if (argument == nullptr) return false;
  if (!PyBool_Check(argument)) raise_type_error(signature, name, "bool", argument);
  return argument == Py_True;
}

std::optional<std::uint64_t> count_argument(const Signature& signature, const char* name,
                                            PyObject* argument) {
  if (is_absent(argument)) return std::nullopt;
  PyObjectRef index = PyObjectRef::steal(PyNumber_Index(argument));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_type_error(signature, name, "an integer or None", argument);
    }
    throw PythonErrorAlreadySet();
  }
  unsigned long long count = PyLong_AsUnsignedLongLong(index.get());
  if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonErrorAlreadySet();
    PyErr_Clear();
    // Not the number itself: str() of a huge int raises.
    PyObjectRef zero = PyObjectRef::steal(PyLong_FromLong(0));
    const int negative = zero ? PyObject_RichCompareBool(index.get(), zero.get(), Py_LT) : -1;
    if (negative < 0) throw PythonErrorAlreadySet();
    raise(PyExc_OverflowError, "%s() argument '%s' must be None or from 0 to 2**64 - 1, not %s",
          signature.method, name, negative ? "a negative number" : "2**64 or more");
  }
  return static_cast<std::uint64_t>(count);
}

std::vector<PyObjectRef> callables_argument(const Signature& signature, PyObject* argument) {
  if (PyUnicode_Check(argument) || !PySequence_Check(argument)) {
    raise_type_error(signature, "functions", "a sequence of callables (not str)", argument);
  }
  std::vector<PyObjectRef> items;
  // A length is only what `__len__` claims: beyond a small bound the vector
  // grows as the items actually arrive.
  constexpr Py_ssize_t kMostReservedUpFront = 1024;
  Py_ssize_t hint = PySequence_Size(argument);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    items.reserve(static_cast<std::size_t>(std::min(hint, kMostReservedUpFront)));
  }
  PyObjectRef iterator = PyObjectRef::steal(PyObject_GetIter(argument));
  if (!iterator) throw PythonErrorAlreadySet();
  while (PyObject* item = PyIter_Next(iterator.get())) items.push_back(PyObjectRef::steal(item));
  if (PyErr_Occurred()) throw PythonErrorAlreadySet();
  return items;
}

PairList pairs_argument(const Signature& signature, const char* name, PyObject* argument) {
  PairList pairs;
  if (is_absent(argument)) return pairs;
  if (PyDict_Check(argument)) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(argument, &position, &key, &value)) {
      pairs.push_back(text_pair(key, value, [&](PyObject* not_text) {
        raise(PyExc_TypeError, "%s() argument '%s': keys and values must be str, not %.200s",
              signature.method, name, Py_TYPE(not_text)->tp_name);
      }));
    }
    return pairs;
  }
  if (PyList_Check(argument)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(argument); ++i) {
      PyObject* item = PyList_GET_ITEM(argument, i);
      if (!PyTuple_Check(item)) {
        raise(PyExc_TypeError, "%s() argument '%s': item %zd must be a tuple, not %.200s",
              signature.method, name, i, Py_TYPE(item)->tp_name);
      }
      if (PyTuple_GET_SIZE(item) != 2) {
        raise(PyExc_ValueError,
              "%s() argument '%s': item %zd must be a pair, not a tuple of length %zd",
              signature.method, name, i, PyTuple_GET_SIZE(item));
      }
      pairs.push_back(
          text_pair(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), [&](PyObject* not_text) {
            raise(PyExc_TypeError, "%s() argument '%s': item %zd must hold two str, not %.200s",
                  signature.method, name, i, Py_TYPE(not_text)->tp_name);
          }));
    }
    return pairs;
  }
  raise(PyExc_ValueError, "inputs/outputs must be a dict or list of tuples");
}

}  // namespace pelmo
