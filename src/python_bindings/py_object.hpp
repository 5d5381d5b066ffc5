// Python object references that may be copied and dropped on any thread,
// and the values that share them.
//
// Reference counts may only change while the interpreter lock is held. The
// module keeps a thread-local count of the scopes in which it holds the lock
// (gil_scope, in gil.hpp); outside them, increments and decrements are
// queued on two process-wide lists and applied (increments first) the next
// time the module takes the lock. This header does not include Python.h.
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

  // Takes a new reference; the caller keeps its own.
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
