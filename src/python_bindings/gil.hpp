// The module's ways of holding and giving up the interpreter lock, each
// keeping in step the thread-local count that tells whether this thread
// holds the lock through the module, and so whether a reference count may
// change now (py_object.hpp).
//
// No guard here retakes the lock in a destructor: on a daemon thread during
// interpreter shutdown, taking the lock ends the thread with a forced
// unwind, which must never start inside a destructor.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

#include "python_bindings/interpreter_entry.hpp"

namespace pelmo {

namespace gil_scope {
// The module now holds the lock on this thread. Requires the lock.
void enter() noexcept;
// The scope that `enter` opened ends (the lock may still be held by others).
void leave() noexcept;
// The lock is about to be released for a while: returns the count to give
// back to `resume` and sets it to zero.
int suspend() noexcept;
// The lock was retaken: restores the count.
void resume(int saved) noexcept;
// Whether the module holds the lock on this thread: it entered a scope and
// has not released the lock since.
bool held() noexcept;
// Whether the lock is held by this thread, with the thread state the module
// last entered with. False after the interpreter ended the thread's hold.
bool lock_is_ours() noexcept;
}  // namespace gil_scope

// For code entered from Python, which holds the lock already.
class ModuleGilScope {
 public:
  ModuleGilScope() noexcept { gil_scope::enter(); }
  ModuleGilScope(const ModuleGilScope&) = delete;
  ModuleGilScope& operator=(const ModuleGilScope&) = delete;
  ~ModuleGilScope() { gil_scope::leave(); }
};

// Thrown by a worker instead of entering an interpreter that is shutting
// down. It ends the run: the finalising thread raises it, any other calling
// thread is ended by the interpreter when it retakes the lock.
class InterpreterShuttingDown : public std::exception {
 public:
  const char* what() const noexcept override {
    return "cannot start worker threads while the interpreter is shutting down";
  }
};

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

// The lock for one node call. The thread that runs the Dag holds it
// already and keeps it; a worker takes it, with a thread state of its own
// that lives as long as the call, so that each node sees fresh
// threading.local and context variables.
class NodeGil {
 public:
  // `gated`: through the gate that closes at exit (interpreter_entry.hpp).
  explicit NodeGil(bool gated) {
    if (gil_scope::held()) return;
    // A thread new to the interpreter must not make its thread state once
    // shutdown has begun: the state it would join is being torn down. The
    // gate covers the time from this check until the state is made.
    std::optional<InterpreterEntry> entry;
    if (gated) entry.emplace();
    if (interpreter_finalizing() && PyGILState_GetThisThreadState() == nullptr)
      throw InterpreterShuttingDown();
    state_ = PyGILState_Ensure();
    taken_ = true;
    gil_scope::enter();
  }
  NodeGil(const NodeGil&) = delete;
  NodeGil& operator=(const NodeGil&) = delete;
  ~NodeGil() {
    if (!taken_) return;
    // Not ours any more only when the thread is being ended during shutdown
    // (the lock was lost while Python code ran); releasing it then would be
    // fatal.
    const bool ours = gil_scope::lock_is_ours();
    gil_scope::leave();
    if (ours) PyGILState_Release(state_);
  }

 private:
  PyGILState_STATE state_{};
  bool taken_ = false;
};

// The lock given up by the thread that holds it through the module, until
// `retake`; not a guard, for the reason above.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : depth_(gil_scope::suspend()), state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  // Not noexcept: during shutdown the interpreter ends the thread here.
  void retake() {
    PyEval_RestoreThread(state_);
    gil_scope::resume(depth_);
  }

 private:
  int depth_;
  PyThreadState* state_;
};

}  // namespace pelmo
