// A Python exception taken out of the interpreter so that it can travel, on
// any thread, to the place that raises it again. Fetching and restoring need
// the interpreter lock; holding and dropping do not.
#pragma once

#include <exception>
#include <string>

#include "python_bindings/py_object.hpp"

namespace pelmo {

class FetchedError {
 public:
  // Takes the current Python error (the lock is held); empty if none is set.
  static FetchedError fetch();

  FetchedError(FetchedError&&) noexcept = default;
  FetchedError& operator=(FetchedError&&) noexcept = default;

  bool empty() const noexcept { return type_.get() == nullptr; }
  // Borrowed; the value is normalised, the traceback may be null.
  PyObject* type() const noexcept { return type_.get(); }
  PyObject* value() const noexcept { return value_.get(); }
  PyObject* traceback() const noexcept { return traceback_.get(); }
  // Makes it the current Python error again (the lock is held). Consumes it.
  void restore() &&;
  // "TypeName: text", as a message line shows it; needs the lock.
  std::string describe() const;

 private:
  FetchedError(PyObjectRef type, PyObjectRef value, PyObjectRef traceback) noexcept
      : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

  PyObjectRef type_;
  PyObjectRef value_;
  PyObjectRef traceback_;
};

// Carries a Python exception out of a run so that the Python entry point
// raises it on its own thread (the exception is not printed on the way).
class PythonExceptionEscape : public std::exception {
 public:
  explicit PythonExceptionEscape(FetchedError error) noexcept : error_(std::move(error)) {}
  const char* what() const noexcept override { return "Python exception leaving a DAG run"; }
  FetchedError take() && noexcept { return std::move(error_); }

 private:
  FetchedError error_;
};

// The interpreter already has an exception set for the current call. The
// error lives in the thread's own state, so this must not leave the thread:
// code that may run on a worker carries it as a PythonExceptionEscape.
class PythonErrorAlreadySet : public std::exception {
 public:
  const char* what() const noexcept override { return "Python error set"; }
};

// Takes over the new reference a C-API call returned; a null result, whose
// error the call has set, throws PythonErrorAlreadySet.
inline PyObjectRef checked(PyObject* object) {
  if (object == nullptr) throw PythonErrorAlreadySet();
  return PyObjectRef::steal(object);
}

}  // namespace pelmo
