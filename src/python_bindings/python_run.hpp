// A run of a Dag started from Python: what it hands its node functions, and
// how the thread that runs it holds the interpreter lock. That thread keeps
// the lock while it runs nodes itself, entering Python code at least once
// per switch interval so that the interpreter can hand the lock to a thread
// that asked for it, and gives it up only while it waits for a parallel
// level's workers. The main thread takes it back briefly every poll to run
// the signal handlers.
#pragma once

#include <chrono>
#include <optional>

#include "dag/execute.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/name_keys.hpp"

namespace pelmo {

// The environment of every Python node function's call.
struct PythonRun {
  const NameKeys& keys;
  // A failing callable stops the run (NodeFailure) instead of being reported.
  bool raise_errors = false;
  // Whether its workers keep out of the interpreter once exit has begun.
  // Not for a run of the main thread: exit waits for it anyway, even in an
  // atexit callback, and the interpreter cannot be torn down meanwhile.
  bool workers_kept_out_at_exit = true;
};

// Makes what every run needs from the interpreter: the Python function,
// doing nothing, that runs call at their yield points, the main thread's
// id, and the closing of the workers' way in at exit. Once, at module
// initialisation. Throws PythonErrorAlreadySet.
void prepare_python_runs();

class PythonRunHost final : public RunHost {
 public:
  // Requires the lock, which the calling thread holds through the module.
  PythonRunHost();

  void between_nodes() override;
  void begin_wait() override { released_.emplace(); }
  void end_wait() override;
  bool polls() const override { return on_main_thread_; }
  bool on_main_thread() const { return on_main_thread_; }
  void poll() override;

 private:
  // The clock is read every so many nodes, as many as take about 1/64 to
  // 1/16 of the switch interval: tiny nodes take well under a microsecond.
  static constexpr unsigned kMostNodesPerClockRead = 1024;

  std::optional<ReleasedGil> released_;
  std::chrono::steady_clock::duration switch_interval_;
  std::chrono::steady_clock::time_point last_clock_read_;
  std::chrono::steady_clock::time_point last_yield_point_;
  unsigned nodes_per_clock_read_ = 1;
  unsigned nodes_since_clock_read_ = 0;
  // Only the main thread runs signal handlers; polls elsewhere would only
  // take the lock from the workers.
  bool on_main_thread_;
};

}  // namespace pelmo
