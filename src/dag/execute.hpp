// Running a Dag: one node at a time along the execution order, or level by
// level with the nodes of a level on threads of their own. Each run starts
// from an empty context and returns the final one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "dag/dag.hpp"

namespace pelmo {

// Gathers the node's inputs from the context through its input mapping,
// calls its function and maps the results back to broadcast names. Names
// that are absent on either side are skipped. The context is only read.
Context run_node(const Node& node, const Context& context);

// With `parallel`, every level of two or more nodes runs against one frozen
// copy of the context taken when the level starts, at most `max_threads`
// (0 counts as 1; absent means the whole level) threads at a time, and the
// level's outputs are merged once all of them are done. Without it,
// `max_threads` is ignored.
//
// Called on the thread that runs `execute` while it waits for a chunk's
// workers, whenever kWaitPollInterval has passed since the last call (or the
// start of the run); it may throw to stop the run. The caller's way to handle what must not wait
// for the whole run (the interpreter's signals), without the core knowing what it is.
using WaitPoll = std::function<void()>;
inline constexpr std::chrono::milliseconds kWaitPollInterval{20};

// A node function or `poll` that throws, or a thread that cannot be
// started, ends the run: the threads already started are joined, no later
// chunk or level starts, and the exception reaches the caller. No partial
// context is returned.
Context execute(const Dag& dag, bool parallel, std::optional<std::uint64_t> max_threads,
                const WaitPoll& poll = {});

}  // namespace pelmo
