#include "python_bindings/interpreter_entry.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "python_bindings/gil.hpp"
#include "python_bindings/py_error.hpp"

namespace pelmo {
namespace {

// Sequentially consistent, both: a thread that counts itself in and then
// finds the gate open is seen by the closing, which sets the flag first and
// then reads the count.
std::atomic<int> entering{0};
std::atomic<bool> closed{false};

// A thread on its way in only waits for the lock, which the closing gives
// up, and a thread turned away waits for the interpreter to finalise: the
// bound is for what should not happen, since exit must never hang.
constexpr std::chrono::seconds kLongestWait{2};

PyObject* close_entry(PyObject*, PyObject*) {
  closed.store(true);
  ReleasedGil released;
  const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
  while (entering.load() != 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  released.retake();
  Py_RETURN_NONE;
}

PyMethodDef close_entry_method = {
    "close_worker_entry", close_entry, METH_NOARGS,
    "Keeps pelmo's worker threads out of the interpreter from now on."};

}  // namespace

InterpreterEntry::InterpreterEntry() {
  entering.fetch_add(1);
  if (!closed.load()) return;
  entering.fetch_sub(1);
  // Most likely a daemon thread's run, which the interpreter is about to
  // end: waiting for that spares the thread an error, and its traceback, at
  // exit. A thread that an atexit callback started and waits for gets the
  // error once the wait is over.
  const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
  while (!interpreter_finalizing() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  throw InterpreterShuttingDown();
}

InterpreterEntry::~InterpreterEntry() { entering.fetch_sub(1); }

void close_interpreter_entry_at_exit() {
  const PyObjectRef close = checked(PyCFunction_New(&close_entry_method, nullptr));
  const PyObjectRef atexit = checked(PyImport_ImportModule("atexit"));
  checked(PyObject_CallMethod(atexit.get(), "register", "O", close.get()));
  pthread_atfork(nullptr, nullptr, [] { entering.store(0); });
}

}  // namespace pelmo
