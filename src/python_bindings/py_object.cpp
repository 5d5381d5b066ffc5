#include "python_bindings/py_object.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "python_bindings/gil.hpp"

namespace pelmo {
namespace {

// Read for every reference change: the initial-exec model spares the call
// that a dynamically loaded module otherwise makes for each access.
[[gnu::tls_model("initial-exec")]] thread_local int module_gil_depth = 0;
// The thread state this thread used when the module last took the lock.
[[gnu::tls_model("initial-exec")]] thread_local PyThreadState* module_thread_state = nullptr;
// The thread state that call_without_gil gave up on this thread, while its
// body runs and no node holds the lock again.
[[gnu::tls_model("initial-exec")]] thread_local PyThreadState* released_thread_state = nullptr;

PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

struct PendingChanges {
  std::mutex mutex;
  std::vector<PyObject*> increments;
  std::vector<PyObject*> decrements;
  std::atomic<bool> any{false};
};

// Never destroyed: worker threads may still queue changes while static
// destructors run at process exit.
PendingChanges& pending() {
  alignas(PendingChanges) static unsigned char storage[sizeof(PendingChanges)];
  static PendingChanges* changes = ::new (static_cast<void*>(storage)) PendingChanges();
  return *changes;
}

// May throw when memory runs out; the new reference then never exists.
void queue_increment(PyObject* object) {
  PendingChanges& changes = pending();
  std::lock_guard<std::mutex> lock(changes.mutex);
  changes.increments.push_back(object);
  changes.any.store(true, std::memory_order_release);
}

void queue_decrement(PyObject* object) noexcept {
  PendingChanges& changes = pending();
  std::lock_guard<std::mutex> lock(changes.mutex);
  try {
    changes.decrements.push_back(object);
  } catch (...) {
    // Out of memory: keeping the object alive for good is the safe failure.
    return;
  }
  changes.any.store(true, std::memory_order_release);
}

// Whether a reference count may change right now on this thread. The module's
// count alone is not enough: a thread that tries to retake the lock while the
// interpreter shuts down is ended by a forced unwind without holding it, and
// the releases on the way out must not touch the objects. The check reads the
// lock holder directly: late in shutdown the interpreter's own per-thread
// bookkeeping is gone.
bool may_change_refcount_now() noexcept {
  return module_gil_depth > 0 && gil_scope::lock_is_ours();
}

}  // namespace

namespace gil_scope {

void apply_pending() {
  PendingChanges& changes = pending();
  // Most entries find nothing queued: a plain load spares them the locked
  // exchange.
  if (!changes.any.load(std::memory_order_acquire)) return;
  if (!changes.any.exchange(false, std::memory_order_acq_rel)) return;
  std::vector<PyObject*> increments;
  std::vector<PyObject*> decrements;
  {
    std::lock_guard<std::mutex> lock(changes.mutex);
    increments.swap(changes.increments);
    decrements.swap(changes.decrements);
  }
  for (PyObject* object : increments) Py_INCREF(object);
  // A decrement may run a finaliser that re-enters the module; the lists
  // were taken out first, so it finds them empty or newly filled.
  for (PyObject* object : decrements) Py_DECREF(object);
}

void enter() {
  ++module_gil_depth;
  module_thread_state = current_thread_state();
  apply_pending();
}

bool lock_is_ours() noexcept {
  PyThreadState* current = current_thread_state();
  return current != nullptr && current == module_thread_state;
}

void leave() noexcept { --module_gil_depth; }

PyThreadState* exchange_released_state(PyThreadState* state) noexcept {
  return std::exchange(released_thread_state, state);
}

int suspend() noexcept { return std::exchange(module_gil_depth, 0); }

void resume(int saved) {
  module_gil_depth = saved;
  module_thread_state = current_thread_state();
  apply_pending();
}

}  // namespace gil_scope

PyObjectRef PyObjectRef::borrow(PyObject* object) {
  if (may_change_refcount_now()) {
    Py_INCREF(object);
  } else {
    queue_increment(object);
  }
  return PyObjectRef(object);
}

void PyObjectRef::reset() noexcept {
  PyObject* object = std::exchange(object_, nullptr);
  if (object == nullptr) return;
  if (may_change_refcount_now()) {
    Py_DECREF(object);
  } else {
    queue_decrement(object);
  }
}

namespace {

// The handle keeps the reference that each operation's temporary takes or
// gives up, deferred like every other.
const ObjectOps python_object_ops{
    [](void* object) { PyObjectRef::borrow(static_cast<PyObject*>(object)).release(); },
    [](void* object) noexcept {
      PyObjectRef dropped = PyObjectRef::steal(static_cast<PyObject*>(object));
    },
};

}  // namespace

Value python_value(PyObjectRef object) noexcept {
  return Value::object(ObjectHandle::adopt(object.release(), python_object_ops));
}

}  // namespace pelmo
