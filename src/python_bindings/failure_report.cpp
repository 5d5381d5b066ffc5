#include "python_bindings/failure_report.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python_bindings/py_error.hpp"
#include "python_bindings/run_stops.hpp"

namespace pelmo {
namespace {

// sys.stderr, when it is a stream to write to; borrowed.
PyObject* usable_stderr() {
  PyObject* stream = PySys_GetObject("stderr");
  return stream == Py_None ? nullptr : stream;
}

// What shows an exception as the default hook does, when that is Python
// code (from CPython 3.13 on); null before, when it is C. The first failure
// of a program imports the traceback module here, and a signal handler may
// run in that import too.
PyObjectRef python_display() {
#if PY_VERSION_HEX >= 0x030D0000
  PyObjectRef module = PyObjectRef::steal(PyImport_ImportModule("traceback"));
  PyObjectRef show =
      module ? PyObjectRef::steal(PyObject_GetAttrString(module.get(), "_print_exception_bltin"))
             : PyObjectRef();
  if (!show) {
    if (error_stops_the_run()) stop_the_run();
    PyErr_Clear();
  }
  return show;
#else
  return PyObjectRef();
#endif
}

// The interpreter's own display of an exception, on sys.stderr: only when
// that is a stream, since the display falls back to the process's standard
// error stream otherwise. Where the display is Python code, a signal handler
// may run in it, and the interpreter's own call would swallow what the
// handler raises: called here, a KeyboardInterrupt or SystemExit from it
// stops the run.
void display(PyObject* type, PyObject* value, PyObject* traceback) {
  if (usable_stderr() == nullptr) return;
  if (traceback != Py_None) PyException_SetTraceback(value, traceback);
  if (const PyObjectRef show = python_display()) {
    if (PyObjectRef::steal(PyObject_CallOneArg(show.get(), value))) return;
    if (error_stops_the_run()) stop_the_run();
    PyErr_Clear();
  }
  PyErr_Display(type, value, traceback);
  PyErr_Clear();
}

}  // namespace

void write_to_stderr(const std::string& message) {
  PyObject* current = usable_stderr();
  if (current == nullptr) return;
  // Held, since the write may replace sys.stderr. PyFile_WriteObject looks
  // up `write` by its interned name: a fresh name string per call would take
  // a slot of its own in the type attribute cache and stay alive there.
  PyObjectRef stream = PyObjectRef::borrow(current);
  PyObjectRef text = PyObjectRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text && PyFile_WriteObject(text.get(), stream.get(), Py_PRINT_RAW) == 0) return;
  // A stream written in Python may run a signal handler.
  if (error_stops_the_run()) stop_the_run();
  PyErr_Clear();
}

void report_exception() {
  FetchedError error = FetchedError::fetch();
  PyObject* type = error.type();
  PyObject* value = error.value();
  PyObject* traceback = error.traceback() != nullptr ? error.traceback() : Py_None;
  if (error.traceback() != nullptr) PyException_SetTraceback(value, traceback);

  // Held from here: an audit hook, or the hook itself, may replace
  // sys.excepthook and so free the object.
  PyObject* current = PySys_GetObject("excepthook");
  const PyObjectRef hook = current != nullptr ? PyObjectRef::borrow(current) : PyObjectRef();
  if (PySys_Audit("sys.excepthook", "OOOO", hook ? hook.get() : Py_None, type, value, traceback) <
      0) {
    if (error_stops_the_run()) stop_the_run();
    // The audit hook refused: nothing is shown, as the interpreter does.
    PyErr_Clear();
    return;
  }
  if (!hook) {
    write_to_stderr("sys.excepthook is missing\n");
    display(type, value, traceback);
    return;
  }
  // The default hook shows it as `display` does, but would write to the
  // process's own stream when sys.stderr is missing.
  if (hook.get() == PySys_GetObject("__excepthook__")) {
    display(type, value, traceback);
    return;
  }
  PyObject* arguments[] = {type, value, traceback};
  PyObjectRef result = PyObjectRef::steal(PyObject_Vectorcall(hook.get(), arguments, 3, nullptr));
  if (result) return;
  if (error_stops_the_run()) stop_the_run();
  FetchedError hook_error = FetchedError::fetch();
  if (usable_stderr() == nullptr) return;
  write_to_stderr("Error in sys.excepthook:\n");
  display(hook_error.type(), hook_error.value(),
          hook_error.traceback() != nullptr ? hook_error.traceback() : Py_None);
  write_to_stderr("\nOriginal exception was:\n");
  display(type, value, traceback);
}

}  // namespace pelmo
