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

#ifdef PELMO_TIMED_JOIN
// pthread_timedjoin_np (the one timed join the thread sanitizer knows)
// measures on the realtime clock; the pace is kept on the steady one, so
// that a clock change moves one wait at most.
timespec realtime_deadline(std::chrono::steady_clock::time_point due) noexcept {
  const auto left =
      std::max(due - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() +
                           static_cast<long long>(now.tv_nsec);
  timespec deadline;
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(nanoseconds / 1'000'000'000);
  deadline.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
  return deadline;
}
#endif

}  // namespace

void JoiningThreads::start_thread(void* (*entry)(void*), void* argument, StackSpan stack) {
  ThreadAttributes attributes;
  if (const int error = pthread_attr_setstack(attributes.get(), stack.base, stack.size))
    throw_start_failure(error);
  // Room first, so that a thread once started is always recorded for joining.
  threads_.reserve(threads_.size() + 1);
  pthread_t thread;
#ifdef PELMO_TIMED_JOIN
  const int error = pthread_create(&thread, attributes.get(), entry, argument);
#else
  const int error = ends_.create(&thread, attributes.get(), entry, argument);
#endif
  if (error != 0) throw_start_failure(error);
  threads_.push_back(thread);
}

WaitPolling::WaitPolling(const std::function<void()>& poll, std::chrono::milliseconds interval)
    : poll_(poll), interval_(interval), due_(std::chrono::steady_clock::now() + interval) {}

void WaitPolling::call() {
  due_ = std::chrono::steady_clock::now() + interval_;
  poll_();
}

void JoiningThreads::join_all() noexcept {
  for (; joined_ < threads_.size(); ++joined_) pthread_join(threads_[joined_], nullptr);
  forget_joined();
}

void JoiningThreads::join_all(WaitPolling& polling) {
  if (!polling.active()) return join_all();
  while (joined_ < threads_.size()) {
    if (join_next_by(polling.due())) {
      ++joined_;
    } else {
      polling.call();
    }
  }
  forget_joined();
}

void JoiningThreads::forget_joined() noexcept {
  threads_.clear();
  joined_ = 0;
#ifndef PELMO_TIMED_JOIN
  ends_.clear();
#endif
}

#ifdef PELMO_TIMED_JOIN

bool JoiningThreads::join_next_by(std::chrono::steady_clock::time_point due) {
  const timespec deadline = realtime_deadline(due);
  const int error = pthread_timedjoin_np(threads_[joined_], nullptr, &deadline);
  if (error == ETIMEDOUT) return false;
  // Anything else the timed join refuses, the plain join settles: the
  // thread must be gone before its stack is used again.
  if (error != 0) pthread_join(threads_[joined_], nullptr);
  return true;
}

#else

bool JoiningThreads::join_next_by(std::chrono::steady_clock::time_point due) {
  if (!ends_.wait_for_end(joined_, due)) return false;
  // Ending already: this join returns as soon as the thread is gone.
  pthread_join(threads_[joined_], nullptr);
  return true;
}

#endif

}  // namespace pelmo
