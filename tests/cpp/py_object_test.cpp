// Python objects in values: copies share them, and their reference counts
// change at once under the module's hold on the lock and are deferred
// without it.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "python_bindings/py_object.hpp"
#include "python_fixture.hpp"

namespace pelmo {
namespace {

using testing::new_python_object;
using testing::refcount;
using testing::Watch;
using testing::WithoutGil;

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

TEST(DeferredRefcount, ReleaseWithoutGilWaitsForApplyPending) {
  Value value = python_value(new_python_object());
  Watch watch(python_object(value));
  PyObject* object = python_object(value);

  // Only the module's count is dropped: the lock stays with this thread,
  // so applying may happen here.
  const int saved = gil_scope::suspend();
  value = Value::none();
  EXPECT_EQ(refcount(object), 1);
  EXPECT_TRUE(watch.alive());
  gil_scope::apply_pending();
  EXPECT_FALSE(watch.alive());
  gil_scope::resume(saved);
}

TEST(DeferredRefcount, ReleaseWithoutGilAppliedOnResume) {
  Value value = python_value(new_python_object());
  Watch watch(python_object(value));
  PyObject* object = python_object(value);
  {
    WithoutGil released;
    value = Value::none();
    EXPECT_EQ(refcount(object), 1);
  }
  EXPECT_FALSE(watch.alive());
}

TEST(DeferredRefcount, QueuedIncrementsApplyBeforeDecrements) {
  Value original = python_value(new_python_object());
  Watch watch(python_object(original));
  Value copy;
  {
    WithoutGil released;
    copy = clone(original);
    original = Value::none();
  }
  // Had the decrement gone first, the object would have died in between.
  ASSERT_TRUE(watch.alive());
  EXPECT_EQ(refcount(python_object(copy)), 1);
}

TEST(DeferredRefcount, WorkerThreadCopiesBalanceAfterApplying) {
  Value source = python_value(new_python_object());
  PyObject* object = python_object(source);
  constexpr int kThreads = 4;
  constexpr int kKeptPerThread = 3;
  std::vector<std::vector<Value>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&source, &kept, t] {
      for (int i = 0; i < 500; ++i) {
        Value transient = clone(source);
        Context context;
        context.insert("v", std::move(transient));
        Context copy = context.clone();
      }
      for (int i = 0; i < kKeptPerThread; ++i) kept[t].push_back(clone(source));
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(refcount(object), 1);

  gil_scope::apply_pending();
  EXPECT_EQ(refcount(object), 1 + kThreads * kKeptPerThread);
  kept.clear();  // this thread holds the lock: released at once
  EXPECT_EQ(refcount(object), 1);
}

}  // namespace
}  // namespace pelmo
