// The worker threads of one parallel run: started when a level first needs
// them, reused by every later level, joined when the team goes at the end of
// the run. Within a level a worker that finishes a task takes the next one
// in level order at once. Knows nothing of nodes or contexts.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <vector>

#include "dag/wait_polling.hpp"

namespace pelmo {

// pthread_create's shape, so that tests can put in starts that fail.
using StartThread = int (*)(pthread_t* thread, const pthread_attr_t* attributes,
                            void* (*entry)(void*), void* argument);

// One task of a level: runs item `index` on a worker thread. It catches
// what it must keep and calls `stop` where the level must end; only the
// forced unwind of a thread being ended may leave it.
struct LevelTask {
  void (*run)(void* argument, std::size_t index);
  void* argument;
};

class WorkerTeam {
 public:
  explicit WorkerTeam(StartThread start_thread = &pthread_create) noexcept;
  WorkerTeam(const WorkerTeam&) = delete;
  WorkerTeam& operator=(const WorkerTeam&) = delete;
  // Ends and joins every worker. Requires that no level is running.
  ~WorkerTeam();

  // Runs task(0) .. task(count - 1), at most `workers` at once (at least
  // one), in index order as workers become free, and returns once every
  // started task has returned. Starts the workers that the team still lacks
  // for this; when a start fails the level goes on with the workers there
  // are, and no start is tried again. Throws std::system_error only when
  // there is no worker at all. What `polling` throws stops the level (no
  // task starts any more) and passes on once the started tasks are done.
  void run_level(std::size_t count, std::size_t workers, LevelTask task, WaitPolling& polling);

  // From a task: no further task of this level starts.
  void stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }

  std::size_t size() const noexcept { return threads_.size(); }

  // Whether this process is a child forked since the team was made. Its
  // threads are not there then, and its mutex and condition variables may
  // hold the state of the parent's waits: such a team must be left alone,
  // not even destroyed.
  bool forked() const noexcept;

 private:
  static void* worker_main(void* team);
  void work();
  // Whether another worker could start; false once a start has failed.
  bool start_worker();
  // Whether tasks of the current level are still to be handed out.
  bool tasks_left() const noexcept;
  // Whether the current level is over: no task left to start and none
  // running. Requires the mutex.
  bool level_over() const noexcept { return inside_ == 0 && !tasks_left(); }
  // Makes the polling's call if it is due; what it throws becomes
  // `failure` and stops the level.
  void poll_if_due(WaitPolling& polling, std::exception_ptr& failure);
  void wait_for_level(WaitPolling& polling, std::exception_ptr& failure);

  StartThread start_thread_;
  pid_t owner_;
  std::vector<pthread_t> threads_;
  bool starts_failed_ = false;

  std::mutex mutex_;
  std::condition_variable work_posted_;
  std::condition_variable level_ended_;
  // Guarded by the mutex.
  std::uint64_t generation_ = 0;  // levels posted so far
  LevelTask task_{};
  std::size_t count_ = 0;
  std::size_t allowed_ = 0;  // workers that may take part in the current level
  std::size_t inside_ = 0;   // workers taking part in it now
  bool closing_ = false;
  // The next index to hand out; claims past count_ are no task.
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stopped_{false};
};

}  // namespace pelmo
