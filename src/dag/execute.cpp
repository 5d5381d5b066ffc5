#include "dag/execute.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <vector>

#include "dag/joining_threads.hpp"
#include "dag/worker_stacks.hpp"

namespace pelmo {
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

// Every id of the order and of the levels names a record.
void run_sequentially(const Dag& dag, Context& context) {
  for (NodeId id : dag.execution_order()) context.merge_from(run_node(*dag.find(id), context));
}

// What the workers of one level share: the frozen context they read and
// the list their outputs go to.
struct LevelRun {
  explicit LevelRun(const Context& context) : snapshot(context.clone()) {}

  const Context snapshot;
  std::vector<Context> results;
  std::mutex results_mutex;
  FirstFailure failure;
};

struct LevelWorker {
  const Node* node;
  LevelRun* level;

  void operator()() const {
    try {
      Context outputs = run_node(*node, level->snapshot);
      std::lock_guard<std::mutex> lock(level->results_mutex);
      level->results.push_back(std::move(outputs));
    } catch (...) {
      std::exception_ptr error = std::current_exception();
      // Only a foreign exception has no exception_ptr: the forced unwind
      // that ends this thread, which must go all the way.
      if (!error) throw;
      level->failure.capture(std::move(error));
    }
  }
};

void run_level_concurrently(const std::vector<const Node*>& level_nodes, Context& context,
                            std::optional<std::uint64_t> max_threads, WorkerStacks& stacks,
                            WaitPolling& polling) {
  LevelRun level(context);
  // Room for every output up front: an append under the lock never allocates.
  level.results.reserve(level_nodes.size());

  std::size_t chunk = level_nodes.size();
  if (max_threads) chunk = static_cast<std::size_t>(std::max<std::uint64_t>(*max_threads, 1));
  chunk = std::min(chunk, level_nodes.size());

  std::vector<LevelWorker> workers(chunk, LevelWorker{nullptr, &level});
  for (std::size_t begin = 0; begin < level_nodes.size(); begin += chunk) {
    const std::size_t count = std::min(chunk, level_nodes.size() - begin);
    {
      JoiningThreads threads(count);
      for (std::size_t slot = 0; slot < count; ++slot) {
        workers[slot].node = level_nodes[begin + slot];
        threads.start(workers[slot], stacks.at(slot));
      }
      threads.join_all(polling);
    }
    level.failure.rethrow_if_any();
  }
  // Every worker is joined: the results are this thread's alone.
  for (Context& outputs : level.results) context.merge_from(std::move(outputs));
}

void run_by_levels(const Dag& dag, Context& context, std::optional<std::uint64_t> max_threads,
                   const WaitPoll& poll) {
  const Dag::Levels& levels = dag.levels();
  std::vector<const Node*> level_nodes;
  // Mapped as chunks first need them; kept for every level of this run.
  WorkerStacks stacks;
  WaitPolling polling(poll, kWaitPollInterval);
  for (std::size_t level = 0; level < levels.size(); ++level) {
    if (levels[level].size() == 1) {
      context.merge_from(run_node(*dag.find(levels[level][0]), context));
      continue;
    }
    level_nodes.clear();
    for (NodeId id : levels[level]) level_nodes.push_back(dag.find(id));
    run_level_concurrently(level_nodes, context, max_threads, stacks, polling);
  }
}

}  // namespace

Context run_node(const Node& node, const Context& context) {
  Context inputs;
  for (const auto& mapping : node.inputs) {
    if (const Value* value = context.get(mapping.key)) inputs.insert(mapping.value, clone(*value));
  }
  Context results = node.function->call(inputs);
  Context outputs;
  // Output names are unique impl_vars, so each result is taken at most once
  // and can be moved rather than copied: the results go right after.
  for (const auto& mapping : node.outputs) {
    if (Value* value = results.get_mut(mapping.key))
      outputs.insert(mapping.value, std::move(*value));
  }
  return outputs;
}

Context execute(const Dag& dag, bool parallel, std::optional<std::uint64_t> max_threads,
                const WaitPoll& poll) {
  Context context;
  if (parallel) {
    run_by_levels(dag, context, max_threads, poll);
  } else {
    run_sequentially(dag, context);
  }
  return context;
}

}  // namespace pelmo
