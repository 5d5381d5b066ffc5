// What ends a DAG run from the Python side instead of being reported: the
// exceptions that mean "end the program" (SystemExit, KeyboardInterrupt),
// signal handlers that raise, and, in a run that raises node errors, a
// node's failure. Each travels to `execute`, which raises it on its own
// thread once the started workers are done.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python_bindings/py_error.hpp"

namespace pelmo {

// Whether the current Python error must stop the run. Reporting a
// SystemExit would end the process from inside the run; a swallowed
// KeyboardInterrupt would make Ctrl-C useless.
inline bool error_stops_the_run() {
  return PyErr_ExceptionMatches(PyExc_SystemExit) ||
         PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
}

// Takes the current Python error out of the run. Requires the lock.
[[noreturn]] inline void stop_the_run() { throw PythonExceptionEscape(FetchedError::fetch()); }

// A node's callable failed in a run with on_error="raise": what it raised,
// or the TypeError for a result that is not a dict. `execute` makes a
// pelmo.NodeError of it.
class NodeFailure : public std::exception {
 public:
  explicit NodeFailure(FetchedError error) noexcept : error_(std::move(error)) {}
  const char* what() const noexcept override { return "a node failed"; }
  const FetchedError& error() const noexcept { return error_; }

 private:
  FetchedError error_;
};

// Runs the handlers of the signals that arrived since the interpreter last
// looked; a handler that raises stops the run. Only the main thread runs
// them: elsewhere this is a cheap no-op. Requires the lock.
inline void run_signal_handlers() {
  if (PyErr_CheckSignals() != 0) stop_the_run();
}

// The same while a Python error is set, which stays set for the caller to
// report: reporting would run the handlers itself (str() looks for signals)
// and swallow what they raise.
inline void run_signal_handlers_keeping_error() {
  FetchedError error = FetchedError::fetch();
  run_signal_handlers();
  std::move(error).restore();
}

}  // namespace pelmo
