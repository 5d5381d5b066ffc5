#include "python_bindings/name_keys.hpp"

#include "python_bindings/conversions.hpp"

namespace pelmo {

void NameKeys::make(const NodeStore& store) {
  const NameTable& names = store.names();
  std::vector<bool> impl_var(names.size(), false);
  for (const Node& node : store.nodes()) {
    for (const NamePair& pair : store.pairs(node.inputs)) impl_var[pair.second] = true;
    for (const NamePair& pair : store.pairs(node.outputs)) impl_var[pair.first] = true;
  }
  std::vector<PyObjectRef> keys;
  keys.reserve(names.size());
  for (NameId name = 0; name < names.size(); ++name) {
    PyObject* key = text_to_python(names[name]).release();
    if (impl_var[name]) PyUnicode_InternInPlace(&key);
    keys.push_back(PyObjectRef::steal(key));
  }
  keys_ = std::move(keys);
  made_ = true;
}

}  // namespace pelmo
