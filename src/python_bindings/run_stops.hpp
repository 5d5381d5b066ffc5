// What ends a DAG run from the Python side instead of being printed: the
// exceptions that mean "end the program" (SystemExit, KeyboardInterrupt),
// and signal handlers that raise. Each travels to `execute`, which raises it
// on its own thread once the started workers are joined.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "dag/execute.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/py_error.hpp"

namespace pelmo {

// Whether the current Python error must stop the run. Printing a SystemExit
// would end the process from inside the run (and hang it on a worker
// thread); a swallowed KeyboardInterrupt would make Ctrl-C useless.
inline bool error_stops_the_run() {
  return PyErr_ExceptionMatches(PyExc_SystemExit) ||
         PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
}

// Takes the current Python error out of the run. Requires the lock.
[[noreturn]] inline void stop_the_run() { throw PythonExceptionEscape(FetchedError::fetch()); }

// Runs the handlers of the signals that arrived since the interpreter last
// looked; a handler that raises stops the run. Only the main thread runs
// them: elsewhere this is a cheap no-op. Requires the lock.
inline void run_signal_handlers() {
  if (PyErr_CheckSignals() != 0) stop_the_run();
}

// The same while a Python error is set, which stays set for the caller to
// print: printing would run the handlers itself (str() looks for signals)
// and swallow what they raise.
inline void run_signal_handlers_keeping_error() {
  FetchedError error = FetchedError::fetch();
  run_signal_handlers();
  std::move(error).restore();
}

// For the thread that waits for a parallel run's workers, as a blocking wait
// in Python does: the lock is taken for the handlers only, so workers never
// wait on the waiting thread for long.
inline WaitPoll signal_handling_poll() {
  return [] {
    EnsuredGil gil;
    run_signal_handlers();
  };
}

}  // namespace pelmo
