#include "python_bindings/py_node_function.hpp"

#include "python_bindings/gil.hpp"
#include "python_bindings/run_stops.hpp"
#include "python_bindings/conversions.hpp"
#include "python_bindings/py_error.hpp"

namespace pelmo {

Context NoopNodeFunction::call(const Context&) const { return Context(); }

int PyNodeFunction::visit_references(ReferenceVisitor visit, void* arg) const {
  return callable_ ? visit(callable_.get(), arg) : 0;
}

void write_to_stderr(const std::string& message) {
  PyObject* current = PySys_GetObject("stderr");
  if (current == nullptr || current == Py_None) return;
  // Held, since the write may replace sys.stderr. PyFile_WriteObject looks
  // up `write` by its interned name: a fresh name string per call would take
  // a slot of its own in the type attribute cache and stay alive there.
  PyObjectRef stream = PyObjectRef::borrow(current);
  PyObjectRef text = PyObjectRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text || PyFile_WriteObject(text.get(), stream.get(), Py_PRINT_RAW) != 0) PyErr_Clear();
}

Context PyNodeFunction::call(const Context& inputs) const {
  EnsuredGil gil;
  auto converted = context_to_dict(inputs);
  if (auto* failure = std::get_if<DictStoreFailure>(&converted)) {
    const std::string reason = failure->error.describe();
    write_to_stderr("Error setting input '" + failure->key + "': " + reason + "\n");
    return Context();
  }
  const PyObjectRef& argument = std::get<PyObjectRef>(converted);
  // The slot before the argument lets a bound method put its self there
  // instead of building a new argument tuple.
  PyObject* arguments[] = {nullptr, argument.get()};
  PyObjectRef result = PyObjectRef::steal(PyObject_Vectorcall(
      callable_.get(), arguments + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) {
    if (error_stops_the_run()) stop_the_run();
    run_signal_handlers_keeping_error();
    // Whatever sys.stderr is: a program without a console logs through
    // sys.excepthook, which decides what to do with it.
    PyErr_PrintEx(0);
    return Context();
  }
  // A signal that came while a callable ran in C is handled now, not at
  // the next node's first Python line (or after the run).
  run_signal_handlers();
  if (!PyDict_Check(result.get())) {
    // The message comes first: releasing the object may run its finaliser,
    // whose output belongs after it.
    write_to_stderr("Error: Python function did not return a dict\n");
    return Context();
  }
  return dict_to_context(result.get());
}

}  // namespace pelmo
