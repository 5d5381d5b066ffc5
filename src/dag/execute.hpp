// Running a Dag: one node at a time along the execution order, or level by
// level with the nodes of a level on threads of their own. Each run starts
// from an empty context.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "dag/dag.hpp"
#include "dag/run_context.hpp"

namespace pelmo {

// Called on the thread that runs `execute` while it waits for a chunk's
// workers, whenever kWaitPollInterval has passed since the last call (or the
// start of the run); it may throw to stop the run. The caller's way to
// handle what must not wait for the whole run (the interpreter's signals),
// without the core knowing what it is.
using WaitPoll = std::function<void()>;
inline constexpr std::chrono::milliseconds kWaitPollInterval{20};

struct RunOptions {
  // Every level of two or more nodes runs against the context as it stood
  // when the level started, at most `max_threads` (0 counts as 1; absent
  // means the whole level) threads at a time; the level's outputs are merged
  // in level order once all of them are done. Without it, `max_threads` is
  // ignored.
  bool parallel = false;
  std::optional<std::uint64_t> max_threads;
  WaitPoll poll;
  // Handed to every node function with its call (NodeCall::environment).
  const void* environment = nullptr;
};

// Runs the Dag into `context`, which must be fresh and sized for the Dag's
// names. A node function or the poll that throws, or a thread that cannot
// be started, ends the run: the threads already started are joined, no
// later chunk or level starts, and the exception reaches the caller; the
// context is then partial.
void run(const Dag& dag, RunContext& context, const RunOptions& options);

// A whole run, its context keyed by the names' texts.
Context execute(const Dag& dag, bool parallel, std::optional<std::uint64_t> max_threads,
                const WaitPoll& poll = {});

}  // namespace pelmo
