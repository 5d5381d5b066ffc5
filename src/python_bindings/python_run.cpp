#include "python_bindings/python_run.hpp"

#include "python_bindings/run_stops.hpp"

namespace pelmo {
namespace {

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

PythonRunHost::PythonRunHost()
    : switch_interval_(switch_interval()), last_hand_over_(std::chrono::steady_clock::now()) {}

void PythonRunHost::between_nodes() {
  if (++nodes_since_clock_read_ < kNodesPerClockRead) return;
  nodes_since_clock_read_ = 0;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_hand_over_ < switch_interval_) return;
  last_hand_over_ = now;
  // A thread that has waited a whole interval for the lock has asked for
  // it, and the release then hands it over before this thread may retake it.
  ReleasedGil released;
  released.retake();
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
