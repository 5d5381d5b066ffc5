#include "python_bindings/python_run.hpp"

#include <algorithm>

#include "python_bindings/run_stops.hpp"

namespace pelmo {
namespace {

// Both live as long as the process, like the module's types.
PyObject* yield_point = nullptr;
unsigned long main_thread_id = 0;

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

void prepare_python_runs() {
  // Named, since profilers and tracers see its calls.
  const PyObjectRef code =
      checked(Py_CompileString("def yield_point():\n    pass\n", "<pelmo>", Py_file_input));
  const PyObjectRef globals = checked(PyDict_New());
  if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
    throw PythonErrorAlreadySet();
  checked(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  // Borrowed from the dict, which defined it just above.
  yield_point = Py_NewRef(PyDict_GetItemString(globals.get(), "yield_point"));

  const PyObjectRef threading = checked(PyImport_ImportModule("threading"));
  const PyObjectRef main_thread =
      checked(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  const PyObjectRef ident = checked(PyObject_GetAttrString(main_thread.get(), "ident"));
  main_thread_id = PyLong_AsUnsignedLong(ident.get());
  if (PyErr_Occurred()) throw PythonErrorAlreadySet();

  close_interpreter_entry_at_exit();
}

PythonRunHost::PythonRunHost()
    : switch_interval_(switch_interval()),
      last_clock_read_(std::chrono::steady_clock::now()),
      last_yield_point_(last_clock_read_),
      on_main_thread_(PyThread_get_thread_ident() == main_thread_id) {}

void PythonRunHost::between_nodes() {
  if (++nodes_since_clock_read_ < nodes_per_clock_read_) return;
  nodes_since_clock_read_ = 0;
  const auto now = std::chrono::steady_clock::now();
  const auto since_read = now - last_clock_read_;
  last_clock_read_ = now;
  if (since_read > switch_interval_ / 16) {
    nodes_per_clock_read_ = std::max(1u, nodes_per_clock_read_ / 2);
  } else if (since_read < switch_interval_ / 64) {
    nodes_per_clock_read_ = std::min(kMostNodesPerClockRead, nodes_per_clock_read_ * 2);
  }
  // At every clock read, 16 to 64 times an interval: a thread that asks for
  // the lock, having waited an interval for it, then waits little longer, as
  // beside a loop of Python code that looks for such requests all the time.
  // (Reading the clock more often costs a tenth of a tiny node's time here.)
  if (now - last_yield_point_ < switch_interval_ / 64) return;
  last_yield_point_ = now;
  // Entering Python code is where the interpreter hands the lock to a
  // thread that has asked for it, and runs the signal handlers. Giving the
  // lock up here without such a request would only wake a waiting thread to
  // lose the race and wait a whole interval again.
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
