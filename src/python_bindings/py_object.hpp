// Python object references, and the values that share them.
//
// Reference counts change only while the interpreter lock is held: every
// copy and release happens on a thread that holds it through the module
// (gil_scope, in gil.hpp). The one exception is a thread that the
// interpreter ends during shutdown, whose references are then left alone.
// This header does not include Python.h.
#pragma once

#include <utility>

#include "value/value.hpp"

struct _object;
using PyObject = _object;

namespace pelmo {

// One strong reference to a Python object, or none (default-constructed,
// moved from, or adopted from a failed call's null result).
class PyObjectRef {
 public:
  PyObjectRef() noexcept : object_(nullptr) {}

  // Takes a new reference; the caller keeps its own. Requires the lock.
  static PyObjectRef borrow(PyObject* object);
  // Adopts a reference that the caller owned.
  static PyObjectRef steal(PyObject* object) noexcept { return PyObjectRef(object); }

  PyObjectRef(PyObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyObjectRef& operator=(PyObjectRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyObjectRef(const PyObjectRef&) = delete;
  PyObjectRef& operator=(const PyObjectRef&) = delete;
  ~PyObjectRef() { reset(); }

  PyObjectRef clone() const { return borrow(object_); }
  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyObjectRef(PyObject* object) noexcept : object_(object) {}
  void reset() noexcept;

  PyObject* object_;
};

// A value of the object kind that shares `object`, taking over its reference.
Value python_value(PyObjectRef object) noexcept;

// The Python object such a value shares (borrowed): the module makes no
// other shared objects.
inline PyObject* python_object(const Value& value) {
  return static_cast<PyObject*>(value.as_object().get());
}

}  // namespace pelmo
