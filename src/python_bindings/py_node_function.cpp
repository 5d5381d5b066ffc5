#include "python_bindings/py_node_function.hpp"

#include <memory>
#include <span>

#include "python_bindings/conversions.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/name_keys.hpp"
#include "python_bindings/py_error.hpp"
#include "python_bindings/run_stops.hpp"

namespace pelmo {

const SharedNodeFunction& noop_node_function() {
  static const SharedNodeFunction noop = std::make_shared<const NoopNodeFunction>();
  return noop;
}

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

namespace {

// The dict the callable gets: each input under its impl_var, a later one
// with the same impl_var replacing an earlier one. Null, with the failure
// reported, when an input cannot be stored.
PyObjectRef inputs_dict(const NodeCall& call, const NameKeys& keys) {
  PyObjectRef dict = new_dict(call.inputs().size());
  for (const NodeInput& input : call.inputs()) {
    if (store_named(dict.get(), keys, input.name, *input.value)) continue;
    const std::string reason = FetchedError::fetch().describe();
    write_to_stderr("Error setting input '" + std::string(call.names()[input.name]) +
                    "': " + reason + "\n");
    return PyObjectRef();
  }
  return dict;
}

// One walk over the returned dict's storage (a subclass's overrides are not
// consulted): each str key that is a mapped impl_var is kept for its
// output, a later key with the same text replacing an earlier one.
void keep_results(NodeCall& call, const NameKeys& keys, PyObject* results) {
  const std::span<const NamePair> outputs = call.outputs();
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  while (PyDict_Next(results, &position, &key, &item)) {
    if (!PyUnicode_Check(key)) continue;
    for (std::size_t output = 0; output < outputs.size(); ++output) {
      if (keys.matches(key, outputs[output].first)) {
        // The lock is held: the reference is taken at once.
        Py_INCREF(item);
        call.keep(output, python_value(PyObjectRef::steal(item)));
        break;
      }
    }
  }
}

}  // namespace

void PyNodeFunction::call(NodeCall& call) const {
  const NameKeys& keys = *static_cast<const NameKeys*>(call.environment());
  EnsuredGil gil;
  const PyObjectRef argument = inputs_dict(call, keys);
  if (!argument) return;
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
    return;
  }
  // A signal that came while a callable ran in C is handled now, not at
  // the next node's first Python line (or after the run).
  run_signal_handlers();
  if (!PyDict_Check(result.get())) {
    // The message comes first: releasing the object may run its finaliser,
    // whose output belongs after it.
    write_to_stderr("Error: Python function did not return a dict\n");
    return;
  }
  // While the lock is held, so that the values replaced in the context are
  // released now rather than queued.
  keep_results(call, keys, result.get());
  call.publish();
}

}  // namespace pelmo
