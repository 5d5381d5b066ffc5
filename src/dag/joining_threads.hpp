// Worker threads started on given stack memory, every one of them joined
// when the owner goes, also while an exception from a failed start unwinds.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <vector>

#include "dag/worker_stacks.hpp"

namespace pelmo {

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

 private:
  template <typename Task>
  static void* run_task(void* task) {
    (*static_cast<Task*>(task))();
    return nullptr;
  }

  void start_thread(void* (*entry)(void*), void* argument, StackSpan stack);

  std::vector<pthread_t> threads_;
};

}  // namespace pelmo
