// A shared object that a value carries without knowing what it is: the core
// only copies and releases it, through the two operations its maker gave
// with it. The Python layer makes them for Python objects (whose reference
// counts may change later, when the module holds the interpreter lock); the
// core's tests make counted stand-ins.
#pragma once

#include <utility>

namespace pelmo {

// `copy` takes one more reference to the object and may throw; `release`
// drops one and never throws. Both may be called on any thread.
struct ObjectOps {
  void (*copy)(void* object);
  void (*release)(void* object) noexcept;
};

// One reference to a shared object, or none (default-constructed or moved
// from). Copies share the object.
class ObjectHandle {
 public:
  ObjectHandle() noexcept = default;

  // Adopts a reference that the caller owned; `ops` must outlive every copy.
  static ObjectHandle adopt(void* object, const ObjectOps& ops) noexcept {
    return ObjectHandle(object, &ops);
  }

  ObjectHandle(ObjectHandle&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)), ops_(other.ops_) {}
  ObjectHandle& operator=(ObjectHandle&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
      ops_ = other.ops_;
    }
    return *this;
  }
  ObjectHandle(const ObjectHandle&) = delete;
  ObjectHandle& operator=(const ObjectHandle&) = delete;
  ~ObjectHandle() { reset(); }

  ObjectHandle clone() const {
    if (object_ == nullptr) return ObjectHandle();
    ops_->copy(object_);
    return ObjectHandle(object_, ops_);
  }
  void* get() const noexcept { return object_; }

 private:
  ObjectHandle(void* object, const ObjectOps* ops) noexcept : object_(object), ops_(ops) {}
  void reset() noexcept {
    if (void* object = std::exchange(object_, nullptr)) ops_->release(object);
  }

  void* object_ = nullptr;
  const ObjectOps* ops_ = nullptr;
};

}  // namespace pelmo
