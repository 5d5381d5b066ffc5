#include "python_bindings/name_keys.hpp"

#include "python_bindings/conversions.hpp"

namespace pelmo {
namespace {

void set_index(PyObject* dict, PyObject* key, std::size_t index) {
  PyObjectRef number = checked(PyLong_FromSize_t(index));
  if (PyDict_SetItem(dict, key, number.get()) < 0) throw PythonErrorAlreadySet();
}

// The value stored under `key`'s text in `table`, or -1. A str subclass is
// looked up as a plain str, so that none of its own methods run.
std::ptrdiff_t lookup(PyObject* table, PyObject* key) {
  PyObjectRef plain = PyObjectRef::borrow(key);
  if (!PyUnicode_CheckExact(key)) plain = checked(PyUnicode_FromObject(key));
  PyObject* found = PyDict_GetItemWithError(table, plain.get());
  if (found == nullptr) {
    if (PyErr_Occurred()) throw PythonErrorAlreadySet();
    return -1;
  }
  return static_cast<std::ptrdiff_t>(PyLong_AsSsize_t(found));
}

}  // namespace

void NameKeys::make(const NodeStore& store) {
  const NameTable& names = store.names();
  std::vector<bool> impl_var(names.size(), false);
  std::vector<bool> written(names.size(), false);
  for (const Node& node : store.nodes()) {
    for (const NamePair& pair : store.pairs(node.inputs)) impl_var[pair.second] = true;
    for (const NamePair& pair : store.pairs(node.outputs)) {
      impl_var[pair.first] = true;
      written[pair.second] = true;
    }
  }
  std::vector<PyObjectRef> keys;
  keys.reserve(names.size());
  PyObjectRef ids = checked(PyDict_New());
  for (NameId name = 0; name < names.size(); ++name) {
    PyObject* key = text_to_python(names[name]).release();
    if (impl_var[name]) PyUnicode_InternInPlace(&key);
    keys.push_back(PyObjectRef::steal(key));
    set_index(ids.get(), key, name);
  }
  std::unordered_map<const NamePair*, PyObjectRef> output_positions;
  for (const Node& node : store.nodes()) {
    const std::span<const NamePair> outputs = store.pairs(node.outputs);
    if (outputs.size() <= kScanLimit || output_positions.contains(outputs.data())) continue;
    PyObjectRef table = new_dict(outputs.size());
    for (std::size_t output = 0; output < outputs.size(); ++output)
      set_index(table.get(), keys[outputs[output].first].get(), output);
    output_positions.emplace(outputs.data(), std::move(table));
  }
  // Making Python objects may run a finaliser that lets another thread run
  // and make them first: a run may already be using those.
  if (made_) return;
  keys_ = std::move(keys);
  written_ = std::move(written);
  ids_ = std::move(ids);
  output_positions_ = std::move(output_positions);
  made_ = true;
}

std::optional<NameId> NameKeys::find(PyObject* key) const {
  const std::ptrdiff_t found = lookup(ids_.get(), key);
  if (found < 0) return std::nullopt;
  return static_cast<NameId>(found);
}

std::ptrdiff_t NameKeys::output_for(PyObject* key, std::span<const NamePair> outputs) const {
  if (outputs.size() <= kScanLimit) {
    for (std::size_t output = 0; output < outputs.size(); ++output) {
      if (matches(key, outputs[output].first)) return static_cast<std::ptrdiff_t>(output);
    }
    return -1;
  }
  return lookup(output_positions_.at(outputs.data()).get(), key);
}

}  // namespace pelmo
