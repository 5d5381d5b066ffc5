// The module's ways of holding and giving up the interpreter lock, each
// keeping in step the thread-local count that tells whether a reference
// count may change now or must be deferred (py_object.hpp).
//
// No guard here retakes the lock in a destructor: on a daemon thread during
// interpreter shutdown, taking the lock ends the thread with a forced
// unwind, which must never start inside a destructor.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <utility>

namespace pelmo {

namespace gil_scope {
// The module now holds the lock on this thread: raise the count and apply
// whatever was queued meanwhile. Requires the lock.
void enter();
// The scope that `enter` opened ends (the lock may still be held by others).
void leave() noexcept;
// The lock is about to be released for a while: returns the count to give
// back to `resume` and sets it to zero.
int suspend() noexcept;
// The lock was retaken: restores the count and applies queued changes.
void resume(int saved);
// Whether the lock is held by this thread, with the thread state the module
// last entered with. False after the interpreter ended the thread's hold.
bool lock_is_ours() noexcept;
// Applies queued changes; requires the lock.
void apply_pending();
// Swaps the thread state that this thread released in call_without_gil
// (null when none is released) for `state`, returning the old one.
PyThreadState* exchange_released_state(PyThreadState* state) noexcept;
}  // namespace gil_scope

// For code entered from Python, which holds the lock already.
class ModuleGilScope {
 public:
  ModuleGilScope() { gil_scope::enter(); }
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

// For native threads that call into Python: takes the lock (nesting if this
// thread holds it already) for the guard's lifetime. On the thread that
// released it for a run, the released thread state is simply restored,
// which spares the thread-state lookups of PyGILState_Ensure.
class EnsuredGil {
 public:
  EnsuredGil() : retaken_(gil_scope::exchange_released_state(nullptr)) {
    if (retaken_ != nullptr) {
      PyEval_RestoreThread(retaken_);
    } else {
      state_ = ensure();
    }
    gil_scope::enter();
  }
  EnsuredGil(const EnsuredGil&) = delete;
  EnsuredGil& operator=(const EnsuredGil&) = delete;
  ~EnsuredGil() {
    // Not ours any more only when the thread is being ended during shutdown
    // (the lock was lost while Python code ran); releasing it then would be
    // fatal.
    const bool ours = gil_scope::lock_is_ours();
    gil_scope::leave();
    if (!ours) return;
    if (retaken_ != nullptr) {
      gil_scope::exchange_released_state(PyEval_SaveThread());
    } else {
      PyGILState_Release(state_);
    }
  }

 private:
  // A thread new to the interpreter must not make its thread state once
  // shutdown has begun: the state it would join is being torn down. A
  // thread with a state of its own only retakes the lock, which the
  // finalising thread may (a run from a finaliser at teardown), and which
  // ends any other thread as it would end that thread's Python code.
  static PyGILState_STATE ensure() {
    if (interpreter_finalizing() && PyGILState_GetThisThreadState() == nullptr)
      throw InterpreterShuttingDown();
    return PyGILState_Ensure();
  }

  PyThreadState* retaken_;
  PyGILState_STATE state_{};
};

// Runs `body` with the lock released and returns what it threw, if
// anything. The lock is retaken on every ordinary path; a forced unwind (the
// thread being ended) passes straight through without retaking it.
template <typename Body>
std::exception_ptr call_without_gil(Body&& body) {
  std::exception_ptr failure;
  const int depth = gil_scope::suspend();
  PyThreadState* state = PyEval_SaveThread();
  // Nested runs (a node that runs a Dag) stack their released states.
  PyThreadState* outer = gil_scope::exchange_released_state(state);
  try {
    std::forward<Body>(body)();
  } catch (...) {
    failure = std::current_exception();
    if (!failure) throw;  // a forced unwind: the thread is being ended
  }
  gil_scope::exchange_released_state(outer);
  PyEval_RestoreThread(state);
  gil_scope::resume(depth);
  return failure;
}

}  // namespace pelmo
