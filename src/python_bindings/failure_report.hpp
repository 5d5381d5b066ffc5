// How a failing node is reported in a run that goes on: through
// sys.excepthook for an exception, as the interpreter reports an uncaught
// one, and as a line on sys.stderr for the other failures. Nothing is ever
// written to the process's own standard error stream, and nothing here ends
// the process. Requires the lock.
#pragma once

#include <string>

namespace pelmo {

// Reports the current Python error by calling sys.excepthook with it, as
// PyErr_PrintEx(0) does. A SystemExit or KeyboardInterrupt that the hook
// raises stops the run (PythonExceptionEscape). Any other failure of the
// hook is shown on sys.stderr as the interpreter shows it, the hook's error
// first; when sys.stderr is None or missing, nothing is shown.
void report_exception();

// Writes `message` to sys.stderr, if it is there and not None. A
// KeyboardInterrupt or SystemExit on the way (from a signal handler, in a
// stream written in Python) stops the run; any other failure is swallowed.
void write_to_stderr(const std::string& message);

}  // namespace pelmo
