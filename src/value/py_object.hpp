// Python object references that may be copied and dropped on any thread.
//
// Reference counts may only change while the interpreter lock is held. The
// module keeps a thread-local count of the scopes in which it holds the lock;
// outside them, increments and decrements are queued on two process-wide
// lists and applied (increments first) the next time the module takes the
// lock. This header does not include Python.h.
#pragma once

#include <utility>

struct _object;
using PyObject = _object;

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
}  // namespace gil_scope

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

}  // namespace pelmo
