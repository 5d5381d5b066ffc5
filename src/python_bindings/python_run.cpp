#include "python_bindings/python_run.hpp"

#include "python_bindings/run_stops.hpp"

namespace pelmo {
namespace {

// Lives as long as the process, like the module's types.
PyObject* yield_point = nullptr;

// sys.getswitchinterval(), read once per run; 5 ms if it cannot be read.
std::chrono::steady_clock::duration switch_interval() {
  double seconds = 0.005;
  if (PyObject* function = PySys_GetObject("getswitchinterval")) {
    PyObjectRef held = PyObjectRef::borrow(function);
    PyObjectRef value = PyObjectRef::steal(PyObject_CallNoArgs(held.get()));
    const double read = value ? PyFloat_AsDouble(value.get()) : -1.0;
    if (read > 0) seconds = read;
  }
  PyErr_Clear();
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

}  // namespace

void make_yield_point() {
  PyObjectRef globals = PyObjectRef::steal(PyDict_New());
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
    throw PythonErrorAlreadySet();
  yield_point = PyRun_String("lambda: None", Py_eval_input, globals.get(), globals.get());
  if (yield_point == nullptr) throw PythonErrorAlreadySet();
}

PythonRunHost::PythonRunHost()
    : switch_interval_(switch_interval()), last_yield_point_(std::chrono::steady_clock::now()) {}

void PythonRunHost::between_nodes() {
  if (++nodes_since_clock_read_ < kNodesPerClockRead) return;
  nodes_since_clock_read_ = 0;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_yield_point_ < switch_interval_) return;
  last_yield_point_ = now;
  // Entering Python code is where the interpreter hands the lock to a
  // thread that has waited a whole interval for it, and runs the signal
  // handlers. Giving the lock up here without such a request would only
  // wake a waiting thread to lose the race and wait a whole interval again.
  PyObjectRef done = PyObjectRef::steal(PyObject_CallNoArgs(yield_point));
  if (!done) stop_the_run();
}

void PythonRunHost::end_wait() {
  released_->retake();
  released_.reset();
}

void PythonRunHost::poll() {
  released_->retake();
  std::exception_ptr stop;
  try {
    run_signal_handlers();
  } catch (...) {
    stop = std::current_exception();
  }
  released_.emplace();
  if (stop) std::rethrow_exception(stop);
}

}  // namespace pelmo
