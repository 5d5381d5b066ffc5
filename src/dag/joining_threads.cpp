#include "dag/joining_threads.hpp"

#include <system_error>

namespace pelmo {
namespace {

[[noreturn]] void throw_start_failure(int error) {
  throw std::system_error(error, std::generic_category(), "cannot start a worker thread");
}

// Destroys the attributes on every way out of start_thread.
class ThreadAttributes {
 public:
  ThreadAttributes() {
    if (const int error = pthread_attr_init(&attributes_)) throw_start_failure(error);
  }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;
  ~ThreadAttributes() { pthread_attr_destroy(&attributes_); }

  pthread_attr_t* get() noexcept { return &attributes_; }

 private:
  pthread_attr_t attributes_;
};

}  // namespace

void JoiningThreads::start_thread(void* (*entry)(void*), void* argument, StackSpan stack) {
  ThreadAttributes attributes;
  if (const int error = pthread_attr_setstack(attributes.get(), stack.base, stack.size))
    throw_start_failure(error);
  // Room first, so that a thread once started is always recorded for joining.
  threads_.reserve(threads_.size() + 1);
  pthread_t thread;
  if (const int error = pthread_create(&thread, attributes.get(), entry, argument))
    throw_start_failure(error);
  threads_.push_back(thread);
}

void JoiningThreads::join_all() noexcept {
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  threads_.clear();
}

}  // namespace pelmo
