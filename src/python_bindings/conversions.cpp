#include "python_bindings/conversions.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pelmo {
namespace {

// A null result from an object constructor ends the conversion, and the
// operation that needed it. Its error travels with the exception: a worker's
// own thread state, where the interpreter keeps it, goes with the node.
PyObjectRef created(PyObject* object) {
  if (object == nullptr) throw PythonExceptionEscape(FetchedError::fetch());
  return PyObjectRef::steal(object);
}

// Unsigned decimal, at most 2^64 - 1, with one optional leading '+' on keys
// longer than one byte; leading zeros allowed, no whitespace.
std::optional<std::uint64_t> parse_index(std::string_view key) {
  if (key.empty()) return std::nullopt;
  if (key.size() > 1 && key.front() == '+') key.remove_prefix(1);
  std::uint64_t index = 0;
  for (char c : key) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (index > (UINT64_MAX - digit) / 10) return std::nullopt;
    index = index * 10 + digit;
  }
  return index;
}

std::string canonical_index(std::uint64_t index) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, index).ptr;
  return std::string(digits, end);
}

bool is_complex_entry(const Value& value) {
  if (value.kind() != ValueKind::Map) return false;
  const Context& parts = value.as_map();
  return parts.get("re") != nullptr && parts.get("im") != nullptr;
}

// Every key an index, n == largest + 1, and optionally every value a map
// with "re" and "im". Unsigned arithmetic: a largest index of 2^64 - 1
// never matches.
bool looks_like_array(const Context& map, bool of_complex) {
  std::uint64_t largest = 0;
  for (const auto& entry : map) {
    std::optional<std::uint64_t> index = parse_index(entry.key);
    if (!index) return false;
    if (of_complex && !is_complex_entry(entry.value)) return false;
    largest = std::max(largest, *index);
  }
  return static_cast<std::uint64_t>(map.size()) == largest + 1;
}

double part_as_double(const Context& parts, std::string_view name) {
  const Value* part = parts.get(name);
  if (part == nullptr) return 0.0;
  if (part->kind() == ValueKind::Int) return static_cast<double>(part->as_int());
  if (part->kind() == ValueKind::Float) return part->as_float();
  return 0.0;
}

// A failed store into a list or dict under construction skips that element.
void append_or_skip(PyObject* list, PyObject* item) {
  if (PyList_Append(list, item) < 0) PyErr_Clear();
}

PyObjectRef complex_list(const Context& map) {
  PyObjectRef list = created(PyList_New(0));
  for (std::uint64_t i = 0; i < map.size(); ++i) {
    const Value* entry = map.get(canonical_index(i));
    if (entry == nullptr) continue;
    const Context& parts = entry->as_map();
    PyObjectRef pair = created(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0,
                     created(PyFloat_FromDouble(part_as_double(parts, "re"))).release());
    PyTuple_SET_ITEM(pair.get(), 1,
                     created(PyFloat_FromDouble(part_as_double(parts, "im"))).release());
    append_or_skip(list.get(), pair.get());
  }
  return list;
}

PyObjectRef index_list(const Context& map) {
  PyObjectRef list = created(PyList_New(0));
  for (std::uint64_t i = 0; i < map.size(); ++i) {
    const Value* entry = map.get(canonical_index(i));
    if (entry == nullptr) continue;
    append_or_skip(list.get(), value_to_python(*entry).get());
  }
  return list;
}

PyObjectRef map_to_dict(const Context& map) {
  PyObjectRef dict = created(PyDict_New());
  for (const auto& entry : map) {
    PyObjectRef item = value_to_python(entry.value);
    PyObjectRef key = text_to_python(entry.key);
    if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) PyErr_Clear();
  }
  return dict;
}

template <typename Number, typename Make>
PyObjectRef number_list(const std::vector<Number>& numbers, Make make) {
  PyObjectRef list = created(PyList_New(static_cast<Py_ssize_t>(numbers.size())));
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), created(make(numbers[i])).release());
  }
  return list;
}

}  // namespace

PyObjectRef value_to_python(const Value& value) {
  switch (value.kind()) {
    case ValueKind::Int:
      return created(PyLong_FromLongLong(value.as_int()));
    case ValueKind::Float:
      return created(PyFloat_FromDouble(value.as_float()));
    case ValueKind::Str:
      return text_to_python(value.as_str());
    case ValueKind::FloatList:
      return number_list(value.as_float_list(), PyFloat_FromDouble);
    case ValueKind::IntList:
      return number_list(value.as_int_list(),
                         [](std::int64_t n) { return PyLong_FromLongLong(n); });
    case ValueKind::Map: {
      const Context& map = value.as_map();
      if (map.empty()) return created(PyDict_New());
      if (looks_like_array(map, /*of_complex=*/true)) return complex_list(map);
      if (looks_like_array(map, /*of_complex=*/false)) return index_list(map);
      return map_to_dict(map);
    }
    case ValueKind::Object:
      return PyObjectRef::borrow(python_object(value));
    case ValueKind::None:
      break;
  }
  return PyObjectRef::borrow(Py_None);
}

PyObjectRef text_to_python(std::string_view text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  // ASCII needs no decoding: the bytes are the code points. Shorter texts
  // go the usual way, which hands out the interpreter's cached singletons.
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char byte) { return static_cast<unsigned char>(byte) < 0x80; });
  if (!ascii || size < 2) return created(PyUnicode_FromStringAndSize(text.data(), size));
  PyObjectRef made = created(PyUnicode_New(size, 127));
  std::copy(text.begin(), text.end(), static_cast<char*>(PyUnicode_DATA(made.get())));
  return made;
}

PyObjectRef new_dict(std::size_t expected) {
#if PY_VERSION_HEX < 0x030D0000
  return created(_PyDict_NewPresized(static_cast<Py_ssize_t>(expected)));
#else
  static_cast<void>(expected);
  return created(PyDict_New());
#endif
}

bool store_named(PyObject* dict, const NameKeys& keys, NameId name, const Value& value) {
  // The dict takes its own reference; only other kinds need an object made.
  if (value.kind() == ValueKind::Object)
    return PyDict_SetItem(dict, keys[name], python_object(value)) == 0;
  return PyDict_SetItem(dict, keys[name], value_to_python(value).get()) == 0;
}

}  // namespace pelmo
