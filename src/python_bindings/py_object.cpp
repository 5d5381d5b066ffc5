#include "python_bindings/py_object.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <utility>

#include "python_bindings/gil.hpp"

namespace pelmo {
namespace {

// Read for every reference change: the initial-exec model spares the call
// that a dynamically loaded module otherwise makes for each access.
[[gnu::tls_model("initial-exec")]] thread_local int module_gil_depth = 0;
// The thread state this thread used when the module last took the lock.
[[gnu::tls_model("initial-exec")]] thread_local PyThreadState* module_thread_state = nullptr;

PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
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

void enter() noexcept {
  ++module_gil_depth;
  module_thread_state = current_thread_state();
}

void leave() noexcept { --module_gil_depth; }

int suspend() noexcept { return std::exchange(module_gil_depth, 0); }

void resume(int saved) noexcept {
  module_gil_depth = saved;
  module_thread_state = current_thread_state();
}

bool lock_is_ours() noexcept {
  PyThreadState* current = current_thread_state();
  return current != nullptr && current == module_thread_state;
}

bool held() noexcept { return module_gil_depth > 0 && lock_is_ours(); }

}  // namespace gil_scope

PyObjectRef PyObjectRef::borrow(PyObject* object) {
  Py_INCREF(object);
  return PyObjectRef(object);
}

void PyObjectRef::reset() noexcept {
  PyObject* object = std::exchange(object_, nullptr);
  if (object == nullptr) return;
  if (may_change_refcount_now()) {
    Py_DECREF(object);
    return;
  }
  // Without the lock only while the interpreter ends this thread: the object
  // then stays alive for good, the safe failure. Holding the lock outside the
  // module's scopes is a fault of the module's own, which leaks here.
  assert(PyGILState_Check() == 0);
}

namespace {

// The handle keeps the reference that each operation's temporary takes or
// gives up.
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
