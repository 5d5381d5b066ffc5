#include "python_bindings/node_records.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "python_bindings/conversions.hpp"
#include "python_bindings/py_error.hpp"
#include "python_bindings/py_node_function.hpp"

namespace pelmo {
namespace {

PyObjectRef optional_text(std::optional<std::string_view> text) {
  return text ? text_to_python(*text) : PyObjectRef::borrow(Py_None);
}

PyObjectRef pairs_dict(const NodeStore& store, const NameKeys& keys, Run run) {
  PyObjectRef dict = new_dict(run.size);
  for (const NamePair& pair : store.pairs(run)) {
    if (PyDict_SetItem(dict.get(), keys[pair.first], keys[pair.second]) < 0)
      throw PythonErrorAlreadySet();
  }
  return dict;
}

PyObjectRef dependency_tuple(const NodeStore& store, const Node& node) {
  const std::span<const NodeId> ids = store.dependencies(node);
  PyObjectRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                     checked(PyLong_FromUnsignedLongLong(ids[i])).release());
  }
  return tuple;
}

PyObjectRef function_of(const NodeStore& store, const Node& node) {
  const auto* python = dynamic_cast<const PyNodeFunction*>(store.function(node));
  return PyObjectRef::borrow(python != nullptr ? python->callable() : Py_None);
}

}  // namespace

PyObjectRef record_class(const char* name) {
  PyObjectRef module = checked(PyImport_ImportModule("pelmo._records"));
  return checked(PyObject_GetAttrString(module.get(), name));
}

PyObjectRef node_records(const Dag& dag, const NameKeys& keys) {
  const NodeStore& store = dag.store();
  std::vector<std::size_t> level_of(dag.node_count(), 0);
  for (std::size_t level = 0; level < dag.levels().size(); ++level) {
    for (Dag::Position position : dag.levels()[level]) level_of[position] = level;
  }
  PyObjectRef node_class = record_class("Node");
  PyObjectRef list = checked(PyList_New(0));
  for (Dag::Position position : dag.execution_order()) {
    const Node& node = dag.nodes()[position];
    PyObjectRef fields[] = {
        checked(PyLong_FromUnsignedLongLong(node.id)),
        optional_text(store.label(node)),
        function_of(store, node),
        pairs_dict(store, keys, node.inputs),
        pairs_dict(store, keys, node.outputs),
        dependency_tuple(store, node),
        checked(PyLong_FromSize_t(level_of[position])),
        node.variant_index == kNoVariant ? PyObjectRef::borrow(Py_None)
                                         : checked(PyLong_FromUnsignedLong(node.variant_index)),
        PyObjectRef::borrow(node.is_branch ? Py_True : Py_False),
    };
    PyObject* arguments[std::size(fields)];
    for (std::size_t i = 0; i < std::size(fields); ++i) arguments[i] = fields[i].get();
    PyObjectRef record =
        checked(PyObject_Vectorcall(node_class.get(), arguments, std::size(fields), nullptr));
    if (PyList_Append(list.get(), record.get()) < 0) throw PythonErrorAlreadySet();
  }
  return list;
}

}  // namespace pelmo
