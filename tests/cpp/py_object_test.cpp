// Python objects in values: copies share them, and their reference counts
// change only under the module's hold on the lock.
#include <gtest/gtest.h>

#include "python_bindings/py_object.hpp"
#include "python_fixture.hpp"

namespace pelmo {
namespace {

using testing::new_python_object;
using testing::refcount;
using testing::Watch;

TEST(PythonValue, CloneSharesTheObject) {
  Value source = python_value(new_python_object());
  PyObject* object = python_object(source);
  {
    Value copy = clone(source);
    EXPECT_EQ(python_object(copy), object);
    EXPECT_EQ(refcount(object), 2);
  }
  EXPECT_EQ(refcount(object), 1);
}

// A thread that the interpreter ends during shutdown unwinds without the
// lock: what it releases on the way out must stay untouched.
TEST(PythonValue, ReleaseWithoutTheModulesHoldLeavesTheObjectAlone) {
  Value value = python_value(new_python_object());
  PyObject* object = python_object(value);
  Watch watch(object);
  const int saved = gil_scope::suspend();
  value = Value::none();
  gil_scope::resume(saved);
  EXPECT_TRUE(watch.alive());
  EXPECT_EQ(refcount(object), 1);
  Py_DECREF(object);
  EXPECT_FALSE(watch.alive());
}

}  // namespace
}  // namespace pelmo
