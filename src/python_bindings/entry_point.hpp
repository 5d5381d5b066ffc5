// The one boundary between C++ failures and Python exceptions. Every method
// body runs inside `entry_point`, which turns whatever it throws into a
// Python exception set on the interpreter and a null result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <system_error>

#include "python_bindings/conversions.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/py_error.hpp"

namespace pelmo {

// Raises a Python exception of `type` and leaves the call. With arguments the
// message is a PyErr_Format format; without, it is taken as it stands, so a
// '%' in it is only a '%'.
template <typename... Args>
[[noreturn]] void raise(PyObject* type, const char* message, Args... args) {
  if constexpr (sizeof...(Args) == 0) {
    PyErr_SetString(type, message);
  } else {
    PyErr_Format(type, message, args...);
  }
  throw PythonErrorAlreadySet();
}

// Returns a new reference, or null with an exception set. Not noexcept: a
// forced unwind must be able to pass.
template <typename Body>
PyObject* entry_point(Body&& body) {
  ModuleGilScope scope;
  try {
    return std::forward<Body>(body)();
  } catch (PythonErrorAlreadySet&) {
  } catch (PythonExceptionEscape& escape) {
    std::move(escape).take().restore();
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (std::system_error& error) {
    // Says what could not be done, then the system's reason.
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (InterpreterShuttingDown& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (std::exception& error) {
    // Nothing a caller does should get here: it is a fault in pelmo itself.
    PyErr_Format(PyExc_RuntimeError, "internal error in pelmo: %s", error.what());
  } catch (...) {
    // A foreign exception has no exception_ptr: it is the forced unwind
    // that ends this thread during shutdown, and it must pass.
    if (!std::current_exception()) throw;
    PyErr_SetString(PyExc_RuntimeError, "internal error in pelmo: an unknown exception");
  }
  return nullptr;
}

}  // namespace pelmo
