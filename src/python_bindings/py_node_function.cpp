#include "python_bindings/py_node_function.hpp"

#include <memory>
#include <span>

#include "python_bindings/conversions.hpp"
#include "python_bindings/failure_report.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/py_error.hpp"
#include "python_bindings/python_run.hpp"
#include "python_bindings/run_stops.hpp"

namespace pelmo {

const SharedNodeFunction& noop_node_function() {
  static const SharedNodeFunction noop = std::make_shared<const NoopNodeFunction>();
  return noop;
}

int PyNodeFunction::visit_references(ReferenceVisitor visit, void* arg) const {
  return callable_ ? visit(callable_.get(), arg) : 0;
}

namespace {

// The node fails with the current Python error, or with `line` written on
// sys.stderr where a run that goes on reports the failure by a line rather
// than by the exception.
void fail(const PythonRun& run, const std::string* line = nullptr) {
  if (error_stops_the_run()) stop_the_run();
  if (run.raise_errors) throw NodeFailure(FetchedError::fetch());
  if (line != nullptr) {
    PyErr_Clear();
    write_to_stderr(*line);
    return;
  }
  run_signal_handlers_keeping_error();
  report_exception();
}

// The dict the callable gets: each input under its impl_var, a later one
// with the same impl_var replacing an earlier one. Null when an input
// cannot be stored, the failure dealt with.
PyObjectRef inputs_dict(const NodeCall& call, const PythonRun& run) {
  PyObjectRef dict = new_dict(call.inputs().size());
  for (const NodeInput& input : call.inputs()) {
    if (store_named(dict.get(), run.keys, input.name, *input.value)) continue;
    std::string line;
    if (!run.raise_errors) {
      FetchedError error = FetchedError::fetch();
      line = "Error setting input '" + std::string(call.names()[input.name]) +
             "': " + error.describe() + "\n";
      std::move(error).restore();
    }
    fail(run, &line);
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
    const std::ptrdiff_t output = keys.output_for(key, outputs);
    if (output < 0) continue;
    // The lock is held: the reference is taken at once.
    call.keep(static_cast<std::size_t>(output), python_value(PyObjectRef::borrow(item)));
  }
}

void not_a_dict(const PythonRun& run, PyObject* result) {
  static const std::string line = "Error: Python function did not return a dict\n";
  PyErr_Format(PyExc_TypeError, "Python function did not return a dict (it returned %.200s)",
               Py_TYPE(result)->tp_name);
  fail(run, &line);
}

}  // namespace

void PyNodeFunction::call(NodeCall& call) const {
  const PythonRun& run = *static_cast<const PythonRun*>(call.environment());
  NodeGil gil(run.workers_kept_out_at_exit);
  try {
    call_with_lock(call, run);
  } catch (const PythonErrorAlreadySet&) {
    // The error is in this thread's state, which a worker gives up with the
    // lock: it travels with the exception instead.
    throw PythonExceptionEscape(FetchedError::fetch());
  }
}

void PyNodeFunction::call_with_lock(NodeCall& call, const PythonRun& run) const {
  const PyObjectRef argument = inputs_dict(call, run);
  if (!argument) return;
  // The slot before the argument lets a bound method put its self there
  // instead of building a new argument tuple.
  PyObject* arguments[] = {nullptr, argument.get()};
  PyObjectRef result = PyObjectRef::steal(PyObject_Vectorcall(
      callable_.get(), arguments + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) {
    fail(run);
    return;
  }
  // A signal that came while a callable ran in C is handled now, not at
  // the next node's first Python line (or after the run).
  run_signal_handlers();
  if (!PyDict_Check(result.get())) {
    // The report comes first: releasing the object may run its finaliser,
    // whose output belongs after it.
    not_a_dict(run, result.get());
    return;
  }
  // While the lock is held, so that the values replaced in the context are
  // released now.
  keep_results(call, run.keys, result.get());
  call.publish();
}

}  // namespace pelmo
