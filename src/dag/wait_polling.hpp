// The calls a thread makes at a steady pace while it waits: for the caller's
// own business that must not wait for a whole level (the interpreter's
// signal handlers, in the module).
#pragma once

#include <chrono>

namespace pelmo {

// A call that the waiting thread makes during its waits whenever `interval`
// has passed since the last one, counted across all the waits of a run: a
// run of many short levels makes its calls too, where a deadline per wait
// would never come.
class WaitPolling {
 public:
  // `poll` may throw; null means no calls.
  WaitPolling(void (*poll)(void*), void* argument, std::chrono::milliseconds interval)
      : poll_(poll), argument_(argument), interval_(interval), due_(clock::now() + interval) {}

  bool active() const noexcept { return poll_ != nullptr; }
  std::chrono::steady_clock::time_point due() const noexcept { return due_; }
  // Makes the call and schedules the next one; what it throws passes on.
  void call() {
    due_ = clock::now() + interval_;
    poll_(argument_);
  }
  // No more calls for the rest of the run.
  void stop() noexcept { poll_ = nullptr; }

 private:
  using clock = std::chrono::steady_clock;
  void (*poll_)(void*);
  void* argument_;
  clock::duration interval_;
  clock::time_point due_;
};

}  // namespace pelmo
