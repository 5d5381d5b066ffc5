// A run of a Dag started from Python: what it hands its node functions, and
// how the thread that runs it holds the interpreter lock. That thread keeps
// the lock while it runs nodes itself, entering Python code at least once
// per switch interval so that the interpreter can hand the lock to a thread
// that asked for it, and gives it up only while it waits for a parallel
// level's workers, taking it back briefly every poll to run the signal
// handlers.
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
};

// Makes the Python function, doing nothing, that runs call at their yield
// points; once, at module initialisation. Throws PythonErrorAlreadySet.
void make_yield_point();

class PythonRunHost final : public RunHost {
 public:
  // Requires the lock, which the calling thread holds through the module.
  PythonRunHost();

  void between_nodes() override;
  void begin_wait() override { released_.emplace(); }
  void end_wait() override;
  void poll() override;

 private:
  // The clock is read only every this many nodes: tiny nodes take well
  // under a microsecond each.
  static constexpr unsigned kNodesPerClockRead = 16;

  std::optional<ReleasedGil> released_;
  std::chrono::steady_clock::duration switch_interval_;
  std::chrono::steady_clock::time_point last_yield_point_;
  unsigned nodes_since_clock_read_ = 0;
};

}  // namespace pelmo
