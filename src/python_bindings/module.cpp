// Module initialisation: single-phase, once per process, registering the
// two classes and `__all__`.
#include <atomic>

#include "python_bindings/entry_point.hpp"
#include "python_bindings/python_run.hpp"
#include "python_bindings/types.hpp"

namespace pelmo {
namespace {

std::atomic<bool> initialised{false};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "pelmo._pelmo",
    "Directed acyclic graphs of Python callables: build one with Graph, run it as a Dag",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to the module's `__all__` (made when missing) and sets the
// attribute. Steals `type`.
void add_class(PyObject* module, const char* name, PyObject* type) {
  PyObjectRef owned = PyObjectRef::steal(type);
  if (!owned) throw PythonErrorAlreadySet();
  PyObjectRef all = PyObjectRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = PyObjectRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      throw PythonErrorAlreadySet();
    }
  }
  PyObjectRef text = PyObjectRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) throw PythonErrorAlreadySet();
  if (PyObject_SetAttrString(module, name, owned.get()) < 0) throw PythonErrorAlreadySet();
}

}  // namespace
}  // namespace pelmo

PyMODINIT_FUNC PyInit__pelmo() {
  using namespace pelmo;
  return entry_point([&]() -> PyObject* {
    PyObjectRef module = PyObjectRef::steal(PyModule_Create2(&module_definition, 1013));
    if (!module) throw PythonErrorAlreadySet();
    if (initialised.exchange(true)) {
      raise(PyExc_ImportError, "pelmo can be initialised only once per process");
    }
    // The types live for the rest of the process: one reference each stays here.
    PyObject* graph = create_graph_type();
    if (graph == nullptr) throw PythonErrorAlreadySet();
    graph_type = reinterpret_cast<PyTypeObject*>(graph);
    Py_INCREF(graph);
    add_class(module.get(), "Graph", graph);
    PyObject* dag = create_dag_type();
    if (dag == nullptr) throw PythonErrorAlreadySet();
    dag_type = reinterpret_cast<PyTypeObject*>(dag);
    Py_INCREF(dag);
    add_class(module.get(), "Dag", dag);
    prepare_python_runs();
    return module.release();
  });
}
