#include "dag/joining_threads.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
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

WaitPolling::WaitPolling(const std::function<void()>& poll, std::chrono::milliseconds interval)
    : poll_(poll), interval_(interval), due_(std::chrono::steady_clock::now() + interval) {}

timespec WaitPolling::due() const noexcept {
  // pthread_timedjoin_np (the one timed join the thread sanitizer knows)
  // measures on the realtime clock; the pace is kept on the steady one, so
  // that a clock change moves one wait at most.
  const auto left = std::max(due_ - std::chrono::steady_clock::now(),
                             std::chrono::steady_clock::duration::zero());
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() +
                           static_cast<long long>(now.tv_nsec);
  timespec due;
  due.tv_sec = now.tv_sec + static_cast<time_t>(nanoseconds / 1'000'000'000);
  due.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
  return due;
}

void WaitPolling::call() {
  due_ = std::chrono::steady_clock::now() + interval_;
  poll_();
}

void JoiningThreads::join_all() noexcept {
  for (; joined_ < threads_.size(); ++joined_) pthread_join(threads_[joined_], nullptr);
  threads_.clear();
  joined_ = 0;
}

void JoiningThreads::join_all(WaitPolling& polling) {
  if (!polling.active()) return join_all();
  while (joined_ < threads_.size()) {
    const timespec due = polling.due();
    const int error = pthread_timedjoin_np(threads_[joined_], nullptr, &due);
    if (error == ETIMEDOUT) {
      polling.call();
      continue;
    }
    // Anything else the timed join refuses, the plain join settles: the
    // thread must be gone before its stack is used again.
    if (error != 0) pthread_join(threads_[joined_], nullptr);
    ++joined_;
  }
  threads_.clear();
  joined_ = 0;
}

}  // namespace pelmo
