#include "dag/execute.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <vector>

namespace pelmo {

void NodeCall::hand_on(NameId name, Value&& value) {
  if (context_ != nullptr) {
    context_->put(name, std::move(value));
  } else {
    pending_->emplace_back(name, std::move(value));
  }
}

void NodeCall::publish() {
  for (std::size_t output = 0; output < kept_.size(); ++output) {
    std::optional<Value>& result = kept_[output];
    if (!result) continue;
    hand_on(outputs_[output].second, std::move(*result));
    result.reset();
  }
}

const Value* NodeCall::input(std::string_view impl_var) const noexcept {
  const Value* found = nullptr;
  for (const NodeInput& input : inputs_) {
    if (names_[input.name] == impl_var) found = input.value;
  }
  return found;
}

void NodeCall::keep(std::string_view impl_var, Value&& value) {
  for (std::size_t output = 0; output < outputs_.size(); ++output) {
    if (names_[outputs_[output].first] == impl_var) {
      keep(output, std::move(value));
      return;
    }
  }
}

namespace {

// Calls one node: gathers the inputs its mapping finds in the context,
// calls its function, and hands on the results it kept.
class NodeRunner {
 public:
  NodeRunner(const Dag& dag, const void* environment) : dag_(dag), environment_(environment) {}

  void run(const Node& node, const RunContext& context, RunContext* target,
           std::vector<std::pair<NameId, Value>>* pending) {
    const NodeStore& store = dag_.store();
    inputs_.clear();
    for (const NamePair& pair : store.pairs(node.inputs)) {
      if (const Value* value = context.get(pair.first)) inputs_.push_back({pair.second, value});
    }
    const std::span<const NamePair> outputs = store.pairs(node.outputs);
    std::span<std::optional<Value>> kept;
    if (node.outputs_collide) {
      kept_.resize(std::max(kept_.size(), outputs.size()));
      kept = {kept_.data(), outputs.size()};
    }
    NodeCall call(store.names(), inputs_, outputs, kept, target, pending, environment_);
    if (const NodeFunction* function = store.function(node)) function->call(call);
    call.publish();
  }

 private:
  const Dag& dag_;
  const void* environment_;
  // Reused from node to node by the calling thread.
  std::vector<NodeInput> inputs_;
  std::vector<std::optional<Value>> kept_;  // for colliding outputs; empty between calls
};

// A node that the calling thread runs: its results go straight into the
// context, and a failure ends the run.
void run_on_calling_thread(NodeRunner& runner, const Dag& dag, Dag::Position position,
                           RunContext& context, RunHost& host) {
  try {
    runner.run(dag.nodes()[position], context, &context, nullptr);
  } catch (...) {
    std::exception_ptr error = std::current_exception();
    // Only a foreign exception has no exception_ptr: the forced unwind that
    // ends this thread, which must go all the way.
    if (!error) throw;
    throw NodesFailed({NodesFailed::Failure{position, std::move(error)}});
  }
  host.between_nodes();
}

RunHost& host_of(const RunOptions& options) {
  static RunHost nothing_to_do;
  return options.host != nullptr ? *options.host : nothing_to_do;
}

// Every position of the order and of the levels names a record.
void run_sequentially(const Dag& dag, RunContext& context, const RunOptions& options) {
  NodeRunner runner(dag, options.environment);
  RunHost& host = host_of(options);
  for (Dag::Position position : dag.execution_order())
    run_on_calling_thread(runner, dag, position, context, host);
}

// One node of a level, as a worker runs it: its results wait until the
// level is over, and what it throws stops the level.
struct LevelSlot {
  std::vector<std::pair<NameId, Value>> pending;
  std::exception_ptr failure;
};

// What the workers of one level share. The context does not change until
// the level is over.
struct LevelRun {
  const Dag& dag;
  const RunContext& context;
  const void* environment;
  std::span<const Dag::Position> positions;
  std::vector<LevelSlot> slots;
  WorkerTeam& team;

  static void run_node(void* level, std::size_t index) {
    auto& run = *static_cast<LevelRun*>(level);
    LevelSlot& slot = run.slots[index];
    try {
      NodeRunner runner(run.dag, run.environment);
      runner.run(run.dag.nodes()[run.positions[index]], run.context, nullptr, &slot.pending);
    } catch (...) {
      slot.failure = std::current_exception();
      if (!slot.failure) throw;  // the thread is being ended
      run.team.stop();
    }
  }
};

void run_level_on_team(const Dag& dag, std::span<const Dag::Position> positions,
                       RunContext& context, const RunOptions& options, WorkerTeam& team,
                       WaitPolling& polling) {
  std::size_t workers = positions.size();
  if (options.max_threads)
    workers = std::min<std::uint64_t>(workers, std::max<std::uint64_t>(*options.max_threads, 1));
  LevelRun level{
      dag, context, options.environment, positions, std::vector<LevelSlot>(positions.size()), team};

  RunHost& host = host_of(options);
  std::exception_ptr stopped;
  host.begin_wait();
  try {
    team.run_level(positions.size(), workers, LevelTask{&LevelRun::run_node, &level}, polling);
  } catch (...) {
    stopped = std::current_exception();
    if (!stopped) throw;  // the thread is being ended
  }
  // From here the slots are this thread's alone, and the host's lock is
  // held again: results are merged or dropped under it.
  host.end_wait();
  if (stopped) std::rethrow_exception(stopped);
  std::vector<NodesFailed::Failure> failures;
  for (std::size_t index = 0; index < positions.size(); ++index) {
    if (level.slots[index].failure)
      failures.push_back({positions[index], std::move(level.slots[index].failure)});
  }
  if (!failures.empty()) throw NodesFailed(std::move(failures));
  // In the level's order, whatever order the nodes finished in.
  for (LevelSlot& slot : level.slots) {
    for (auto& [name, value] : slot.pending) context.put(name, std::move(value));
  }
}

void poll_host(void* host) { static_cast<RunHost*>(host)->poll(); }

// The run's team, made by the first level that needs one. A child forked
// from a node during the run leaves its copy of the parent's team alone and
// makes one of its own.
class RunTeam {
 public:
  explicit RunTeam(StartThread start_thread) noexcept : start_thread_(start_thread) {}
  RunTeam(const RunTeam&) = delete;
  RunTeam& operator=(const RunTeam&) = delete;
  ~RunTeam() { abandon_if_forked(); }

  WorkerTeam& get() {
    abandon_if_forked();
    if (!team_) team_ = std::make_unique<WorkerTeam>(start_thread_);
    return *team_;
  }

 private:
  void abandon_if_forked() noexcept {
    // Not destroyed: its threads and their waits are the parent's.
    if (team_ && team_->forked()) static_cast<void>(team_.release());
  }

  StartThread start_thread_;
  std::unique_ptr<WorkerTeam> team_;
};

void run_by_levels(const Dag& dag, RunContext& context, const RunOptions& options) {
  const Dag::Levels& levels = dag.levels();
  NodeRunner runner(dag, options.environment);
  RunHost& host = host_of(options);
  WaitPolling polling(host.polls() ? &poll_host : nullptr, &host, kWaitPollInterval);
  // Started by the first level that needs workers, joined when the run ends.
  RunTeam team(options.start_thread);
  for (std::size_t level = 0; level < levels.size(); ++level) {
    if (levels[level].size() == 1) {
      run_on_calling_thread(runner, dag, levels[level][0], context, host);
      continue;
    }
    run_level_on_team(dag, levels[level], context, options, team.get(), polling);
  }
}

}  // namespace

void run(const Dag& dag, RunContext& context, const RunOptions& options) {
  if (options.parallel) {
    run_by_levels(dag, context, options);
  } else {
    run_sequentially(dag, context, options);
  }
}

Context execute(const Dag& dag, bool parallel, std::optional<std::uint64_t> max_threads,
                RunHost* host) {
  const NameTable& names = dag.store().names();
  RunContext context(names.size());
  run(dag, context, RunOptions{parallel, max_threads, host});
  Context result;
  for (NameId name = 0; name < names.size(); ++name) {
    if (Value* value = context.get_mut(name))
      result.insert(std::string(names[name]), std::move(*value));
  }
  return result;
}

}  // namespace pelmo
