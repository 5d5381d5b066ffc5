#include "dag/worker_team.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

namespace pelmo {
namespace {

// Python code near the recursion limit needs the room; musl's default is
// only 128 KiB, glibc's follows the stack limit (8 MiB on most systems).
constexpr std::size_t kMinimumStackSize = std::size_t{2} << 20;

std::size_t worker_stack_size(const pthread_attr_t& attributes) {
  std::size_t size = 0;
  pthread_attr_getstacksize(&attributes, &size);
  return std::max(size, kMinimumStackSize);
}

[[noreturn]] void throw_no_worker(int error) {
  throw std::system_error(error, std::generic_category(),
                          "cannot start any worker thread for a parallel level (the system's "
                          "limits on threads, memory mappings or memory ran out)");
}

}  // namespace

WorkerTeam::WorkerTeam(StartThread start_thread) noexcept
    : start_thread_(start_thread), owner_(getpid()) {}

bool WorkerTeam::forked() const noexcept { return getpid() != owner_; }

WorkerTeam::~WorkerTeam() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  work_posted_.notify_all();
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
}

void* WorkerTeam::worker_main(void* team) {
  static_cast<WorkerTeam*>(team)->work();
  return nullptr;
}

bool WorkerTeam::tasks_left() const noexcept {
  return !stopped_.load(std::memory_order_relaxed) &&
         next_.load(std::memory_order_relaxed) < count_;
}

void WorkerTeam::work() {
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_posted_.wait(lock, [&] { return closing_ || generation_ != seen; });
    if (closing_) return;
    seen = generation_;
    // A level that is over, or has all the workers it may have, goes on
    // without this one: once over, the caller may post the next.
    if (!tasks_left() || inside_ >= allowed_) continue;
    ++inside_;
    const LevelTask task = task_;
    const std::size_t count = count_;
    lock.unlock();
    try {
      while (!stopped_.load(std::memory_order_relaxed)) {
        const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
        if (index >= count) break;
        task.run(task.argument, index);
      }
    } catch (...) {
      // The thread is being ended (a forced unwind): it leaves the level so
      // that the caller does not wait for it for ever.
      lock.lock();
      stopped_.store(true, std::memory_order_relaxed);
      if (--inside_ == 0) level_ended_.notify_all();
      throw;
    }
    lock.lock();
    if (--inside_ == 0) level_ended_.notify_all();
  }
}

bool WorkerTeam::start_worker() {
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error == 0) {
    pthread_attr_setstacksize(&attributes, worker_stack_size(attributes));
    // Room first, so that a thread once started is always recorded for
    // joining; doubling, since a wide level starts thousands.
    if (threads_.size() == threads_.capacity()) threads_.reserve(2 * threads_.size() + 1);
    pthread_t thread;
    error = start_thread_(&thread, &attributes, &worker_main, this);
    pthread_attr_destroy(&attributes);
    if (error == 0) {
      threads_.push_back(thread);
      return true;
    }
  }
  if (threads_.empty()) throw_no_worker(error);
  starts_failed_ = true;
  return false;
}

void WorkerTeam::poll_if_due(WaitPolling& polling, std::exception_ptr& failure) {
  if (!polling.active() || std::chrono::steady_clock::now() < polling.due()) return;
  try {
    polling.call();
  } catch (...) {
    failure = std::current_exception();
    if (!failure) throw;
    polling.stop();
    stop();
  }
}

void WorkerTeam::wait_for_level(WaitPolling& polling, std::exception_ptr& failure) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!level_over()) {
    if (!polling.active()) {
      level_ended_.wait(lock);
      continue;
    }
    level_ended_.wait_until(lock, polling.due());
    if (level_over()) break;
    lock.unlock();
    poll_if_due(polling, failure);
    lock.lock();
  }
}

void WorkerTeam::run_level(std::size_t count, std::size_t workers, LevelTask task,
                           WaitPolling& polling) {
  if (count == 0) return;
  workers = std::max<std::size_t>(workers, 1);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
    task_ = task;
    count_ = count;
    allowed_ = workers;
    next_.store(0, std::memory_order_relaxed);
    stopped_.store(false, std::memory_order_relaxed);
  }
  // Those already there start on it while the rest are started.
  if (workers >= threads_.size()) {
    work_posted_.notify_all();
  } else {
    for (std::size_t i = 0; i < workers; ++i) work_posted_.notify_one();
  }
  std::exception_ptr failure;
  try {
    while (threads_.size() < workers && !starts_failed_) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!tasks_left()) break;
      }
      if (!start_worker()) break;
      poll_if_due(polling, failure);
    }
    wait_for_level(polling, failure);
  } catch (...) {
    // No worker at all, or the thread is being ended in a poll: either
    // way the tasks' data must outlive every task that started.
    stop();
    std::unique_lock<std::mutex> lock(mutex_);
    level_ended_.wait(lock, [&] { return level_over(); });
    throw;
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace pelmo
