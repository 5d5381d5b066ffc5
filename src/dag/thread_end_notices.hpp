// Threads that say when they end, for a C library without a timed join
// (pthread_timedjoin_np is glibc's and musl's): a joiner waits for the notice
// with a timeout, then joins a thread that is already on its way out. The
// notice comes from the destructor of a thread-specific value, which the C
// library runs on every way a thread ends: a return, pthread_exit and
// cancellation, whether or not they unwind the thread's C++ frames.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace pelmo {

class ThreadEndNotices {
 public:
  ThreadEndNotices() = default;
  ThreadEndNotices(const ThreadEndNotices&) = delete;
  ThreadEndNotices& operator=(const ThreadEndNotices&) = delete;

  // pthread_create for a thread whose end is noticed, as the next in turn
  // since the last clear(). Returns pthread_create's error.
  int create(pthread_t* thread, const pthread_attr_t* attributes, void* (*entry)(void*),
             void* argument);
  // Waits until the `index`-th thread in turn is ending or `due` has come;
  // whether it is ending.
  bool wait_for_end(std::size_t index, std::chrono::steady_clock::time_point due);
  // Every thread created must have been joined.
  void clear() noexcept { notices_.clear(); }

 private:
  struct Notice {
    ThreadEndNotices* owner;
    void* (*entry)(void*);
    void* argument;
    bool ended = false;  // guarded by owner->mutex_
  };

  static void* run(void* notice);
  static void announce(void* notice) noexcept;
  // Null when the C library has no key left for it.
  static const pthread_key_t* end_key() noexcept;

  // A deque: a running thread holds its notice by address.
  std::deque<Notice> notices_;
  std::mutex mutex_;
  std::condition_variable end_noticed_;
};

}  // namespace pelmo
