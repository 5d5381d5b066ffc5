#include "dag/execute.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <vector>

#include "dag/joining_threads.hpp"
#include "dag/worker_stacks.hpp"

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

// The first exception thrown by any worker of a level; the others are
// dropped, since one is enough to end the run.
class FirstFailure {
 public:
  void capture(std::exception_ptr error) noexcept {
    if (!taken_.exchange(true, std::memory_order_acq_rel)) error_ = std::move(error);
  }
  void rethrow_if_any() {
    if (taken_.load(std::memory_order_acquire)) std::rethrow_exception(error_);
  }

 private:
  std::atomic<bool> taken_{false};
  std::exception_ptr error_;
};

// Calls one node: gathers the inputs its mapping finds in the context,
// calls its function, and hands on the results it kept. The buffers belong
// to the calling thread and are reused from node to node.
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
  std::vector<NodeInput> inputs_;
  std::vector<std::optional<Value>> kept_;  // for colliding outputs; empty between calls
};

// Every position of the order and of the levels names a record.
void run_sequentially(const Dag& dag, RunContext& context, const void* environment) {
  NodeRunner runner(dag, environment);
  const std::span<const Node> nodes = dag.nodes();
  for (Dag::Position position : dag.execution_order())
    runner.run(nodes[position], context, &context, nullptr);
}

// What the workers of one level share: the context they read, which does
// not change until the level is done.
struct LevelRun {
  const Dag& dag;
  const RunContext& context;
  const void* environment;
  FirstFailure failure;
};

// One node of a level: its results wait in `pending` until the level ends.
struct LevelWorker {
  const Node* node = nullptr;
  LevelRun* level = nullptr;
  std::vector<std::pair<NameId, Value>> pending;

  void operator()() {
    try {
      NodeRunner runner(level->dag, level->environment);
      runner.run(*node, level->context, nullptr, &pending);
    } catch (...) {
      std::exception_ptr error = std::current_exception();
      // Only a foreign exception has no exception_ptr: the forced unwind
      // that ends this thread, which must go all the way.
      if (!error) throw;
      level->failure.capture(std::move(error));
    }
  }
};

void run_level_concurrently(const Dag& dag, std::span<const Dag::Position> level_positions,
                            RunContext& context, const RunOptions& options, WorkerStacks& stacks,
                            WaitPolling& polling) {
  LevelRun level{dag, context, options.environment, {}};
  std::size_t chunk = level_positions.size();
  if (options.max_threads)
    chunk = static_cast<std::size_t>(std::max<std::uint64_t>(*options.max_threads, 1));
  chunk = std::min(chunk, level_positions.size());

  std::vector<LevelWorker> workers(level_positions.size());
  const std::span<const Node> nodes = dag.nodes();
  for (std::size_t begin = 0; begin < level_positions.size(); begin += chunk) {
    const std::size_t count = std::min(chunk, level_positions.size() - begin);
    {
      JoiningThreads threads(count);
      for (std::size_t slot = 0; slot < count; ++slot) {
        LevelWorker& worker = workers[begin + slot];
        worker.node = &nodes[level_positions[begin + slot]];
        worker.level = &level;
        threads.start(worker, stacks.at(slot));
      }
      threads.join_all(polling);
    }
    level.failure.rethrow_if_any();
  }
  // Every worker is joined: the results are this thread's alone, merged in
  // the level's order whatever order the nodes finished in.
  for (LevelWorker& worker : workers) {
    for (auto& [name, value] : worker.pending) context.put(name, std::move(value));
  }
}

void run_by_levels(const Dag& dag, RunContext& context, const RunOptions& options) {
  const Dag::Levels& levels = dag.levels();
  NodeRunner runner(dag, options.environment);
  // Mapped as chunks first need them; kept for every level of this run.
  WorkerStacks stacks;
  WaitPolling polling(options.poll, kWaitPollInterval);
  for (std::size_t level = 0; level < levels.size(); ++level) {
    if (levels[level].size() == 1) {
      runner.run(dag.nodes()[levels[level][0]], context, &context, nullptr);
      continue;
    }
    run_level_concurrently(dag, levels[level], context, options, stacks, polling);
  }
}

}  // namespace

void run(const Dag& dag, RunContext& context, const RunOptions& options) {
  if (options.parallel) {
    run_by_levels(dag, context, options);
  } else {
    run_sequentially(dag, context, options.environment);
  }
}

Context execute(const Dag& dag, bool parallel, std::optional<std::uint64_t> max_threads,
                const WaitPoll& poll) {
  const NameTable& names = dag.store().names();
  RunContext context(names.size());
  run(dag, context, RunOptions{parallel, max_threads, poll, nullptr});
  Context result;
  for (NameId name = 0; name < names.size(); ++name) {
    if (Value* value = context.get_mut(name))
      result.insert(std::string(names[name]), std::move(*value));
  }
  return result;
}

}  // namespace pelmo
