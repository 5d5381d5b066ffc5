// Running a Dag: one node at a time along the execution order, or level by
// level with the nodes of a level on a team of worker threads that lives as
// long as the run. Each run starts from the context it is given.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <vector>

#include "dag/dag.hpp"
#include "dag/run_context.hpp"
#include "dag/worker_team.hpp"

namespace pelmo {

inline constexpr std::chrono::milliseconds kWaitPollInterval{20};

// What a run asks of the thread that runs it, for the caller's own locking
// (the interpreter lock, in the module), without the core knowing what it
// is. The calling thread runs nodes between `end_wait` and the next
// `begin_wait`; it runs none while it waits for workers.
class RunHost {
 public:
  virtual ~RunHost() = default;
  // After each node that the calling thread ran.
  virtual void between_nodes() {}
  // Before and after the calling thread waits for a level's workers. A
  // level's outputs are merged, or dropped, after `end_wait`.
  virtual void begin_wait() {}
  virtual void end_wait() {}
  // Whether to call `poll` while the calling thread waits: whenever
  // kWaitPollInterval has passed since the last call. It may throw to stop
  // the run.
  virtual bool polls() const { return false; }
  virtual void poll() {}
};

struct RunOptions {
  // Every level of two or more nodes runs against the context as it stood
  // when the level started, at most `max_threads` (0 counts as 1; absent
  // means the whole level) nodes at a time; the level's outputs are merged
  // in level order once all of them are done. Without it, `max_threads` is
  // ignored.
  bool parallel = false;
  std::optional<std::uint64_t> max_threads;
  RunHost* host = nullptr;
  // Handed to every node function with its call (NodeCall::environment).
  const void* environment = nullptr;
  // How worker threads are started; tests put in starts that fail.
  StartThread start_thread = &pthread_create;
};

// Thrown by `run` when node functions threw: what each threw, with the
// position of its node, in level order. A sequential run stops at the
// first; a parallel level lets the nodes already running finish, and lists
// every one of them that threw.
class NodesFailed : public std::exception {
 public:
  struct Failure {
    Dag::Position node;
    std::exception_ptr error;
  };

  explicit NodesFailed(std::vector<Failure> failures) noexcept : failures_(std::move(failures)) {}
  const char* what() const noexcept override { return "node functions failed"; }
  const std::vector<Failure>& failures() const noexcept { return failures_; }

 private:
  std::vector<Failure> failures_;
};

// Runs the Dag into `context`, which must be sized for the Dag's names and
// may hold values already (the run's inputs). A node function that throws
// ends the run with NodesFailed; what the host's poll throws, or the
// failure to start any worker at all (std::system_error), passes on as it
// is. No later node or level starts then, every worker is joined, and the
// context is partial.
void run(const Dag& dag, RunContext& context, const RunOptions& options);

// A whole run from an empty context, keyed by the names' texts.
Context execute(const Dag& dag, bool parallel, std::optional<std::uint64_t> max_threads,
                RunHost* host = nullptr);

}  // namespace pelmo
