#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "dag/joining_threads.hpp"

namespace pelmo {
namespace {

using namespace std::chrono_literals;

// Ends its thread without returning, as the interpreter ends a thread that
// wants the GIL while it shuts down; the first one only once the joiner is
// waiting and has polled.
struct ExitingTask {
  const std::atomic<bool>* polled;

  void operator()() const {
    while (polled != nullptr && !polled->load()) std::this_thread::sleep_for(1ms);
    pthread_exit(nullptr);
  }
};

TEST(JoiningThreads, ThreadsEndedByPthreadExitAreJoinedWhilePolling) {
  std::atomic<bool> polled{false};
  int polls = 0;
  // A thread's end that goes unnoticed shows as polls that never stop; the
  // exception then ends the wait, and the destructor joins what is left.
  const std::function<void()> poll = [&] {
    polled = true;
    if (++polls > 1000) throw std::runtime_error("the end of a thread went unnoticed");
  };
  WaitPolling polling(poll, 5ms);
  WorkerStacks stacks;
  ExitingTask after_poll{&polled};
  ExitingTask at_once{nullptr};
  JoiningThreads threads(2);
  threads.start(after_poll, stacks.at(0));
  threads.start(at_once, stacks.at(1));
  EXPECT_NO_THROW(threads.join_all(polling));
  EXPECT_GE(polls, 1);
}

}  // namespace
}  // namespace pelmo
