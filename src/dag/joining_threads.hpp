// Worker threads started on given stack memory, every one of them joined
// when the owner goes, also while an exception from a failed start unwinds;
// and the calls that the joining thread makes at a steady pace while it
// waits.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include "dag/worker_stacks.hpp"

// pthread_timedjoin_np is glibc's and musl's. Elsewhere, and in a build with
// PELMO_PORTABLE_THREADS (which tests that path on Linux), the threads tell
// of their own ends.
#if defined(__linux__) && !defined(PELMO_PORTABLE_THREADS)
#define PELMO_TIMED_JOIN 1
#else
#include "dag/thread_end_notices.hpp"
#endif

namespace pelmo {

// A call that a waiting thread makes during its waits whenever `interval`
// has passed since the last one, counted across all the waits: a run of many
// short chunks makes its calls too, where a deadline per wait would never
// come. No call for an empty function.
class WaitPolling {
 public:
  WaitPolling(const std::function<void()>& poll, std::chrono::milliseconds interval);
  WaitPolling(const WaitPolling&) = delete;
  WaitPolling& operator=(const WaitPolling&) = delete;

  bool active() const noexcept { return static_cast<bool>(poll_); }
  std::chrono::steady_clock::time_point due() const noexcept { return due_; }
  // Makes the call and schedules the next one; what it throws passes on.
  void call();

 private:
  const std::function<void()>& poll_;
  std::chrono::steady_clock::duration interval_;
  std::chrono::steady_clock::time_point due_;
};

class JoiningThreads {
 public:
  explicit JoiningThreads(std::size_t capacity) { threads_.reserve(capacity); }
  JoiningThreads(const JoiningThreads&) = delete;
  JoiningThreads& operator=(const JoiningThreads&) = delete;
  ~JoiningThreads() { join_all(); }

  // Runs `task()` on a new thread on `stack`. The task and the stack must
  // stay until the thread is joined; whatever the task throws ends the
  // process, except the forced unwind of a thread being cancelled or exited.
  // Throws std::system_error when the thread cannot be started.
  template <typename Task>
  void start(Task& task, StackSpan stack) {
    start_thread(&run_task<Task>, &task, stack);
  }

  void join_all() noexcept;
  // Joins every thread, making the polling's calls meanwhile. When a call
  // throws, the threads not joined yet are left to the destructor and the
  // exception passes on.
  void join_all(WaitPolling& polling);

 private:
  template <typename Task>
  static void* run_task(void* task) {
    (*static_cast<Task*>(task))();
    return nullptr;
  }

  void start_thread(void* (*entry)(void*), void* argument, StackSpan stack);
  // Joins the first thread not joined yet if it ends by `due`; whether it did.
  bool join_next_by(std::chrono::steady_clock::time_point due);
  void forget_joined() noexcept;

  std::vector<pthread_t> threads_;
  // The leading threads_ that are joined already.
  std::size_t joined_ = 0;
#ifndef PELMO_TIMED_JOIN
  ThreadEndNotices ends_;
#endif
};

}  // namespace pelmo
