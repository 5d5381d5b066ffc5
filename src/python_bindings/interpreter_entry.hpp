// The gate through which worker threads enter the interpreter for their node
// calls. A worker makes a thread state for every call while it enters; one
// that did so while the interpreter was being torn down at exit would touch
// freed state. So the gate closes at exit, before the interpreter starts to
// finalise, and closing waits for the threads already on their way in.
#pragma once

namespace pelmo {

class InterpreterEntry {
 public:
  // Throws InterpreterShuttingDown once the gate has closed.
  InterpreterEntry();
  InterpreterEntry(const InterpreterEntry&) = delete;
  InterpreterEntry& operator=(const InterpreterEntry&) = delete;
  ~InterpreterEntry();
};

// Has atexit close the gate, and a forked child forget the threads its
// parent had on their way in. Once, at module initialisation. Requires the
// lock; throws PythonErrorAlreadySet.
void close_interpreter_entry_at_exit();

}  // namespace pelmo
