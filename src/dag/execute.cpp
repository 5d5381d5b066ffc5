#include "dag/execute.hpp"

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

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

// Joins every thread it holds when it goes, also while an exception from a
// failed start unwinds.
class JoiningThreads {
 public:
  explicit JoiningThreads(std::size_t capacity) { threads_.reserve(capacity); }
  JoiningThreads(const JoiningThreads&) = delete;
  JoiningThreads& operator=(const JoiningThreads&) = delete;
  ~JoiningThreads() { join_all(); }

  template <typename Body>
  void start(Body&& body) {
    threads_.emplace_back(std::forward<Body>(body));
  }

  void join_all() noexcept {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
    threads_.clear();
  }

 private:
  std::vector<std::thread> threads_;
};

void run_sequentially(const Dag& dag, Context& context) {
  for (NodeId id : dag.execution_order()) {
    const Node* node = dag.find(id);
    if (node == nullptr) continue;
    context.merge_from(run_node(*node, context));
  }
}

void run_level_concurrently(const std::vector<const Node*>& level, Context& context,
                            std::optional<std::uint64_t> max_threads) {
  const Context snapshot = context.clone();
  std::vector<Context> results;
  // Room for every output up front: an append under the lock never allocates.
  results.reserve(level.size());
  std::mutex results_mutex;
  FirstFailure failure;

  std::size_t chunk = level.size();
  if (max_threads) chunk = static_cast<std::size_t>(std::max<std::uint64_t>(*max_threads, 1));

  for (std::size_t begin = 0; begin < level.size(); begin += chunk) {
    const std::size_t end = std::min(level.size(), begin + std::min(chunk, level.size() - begin));
    {
      JoiningThreads workers(end - begin);
      for (std::size_t i = begin; i < end; ++i) {
        const Node& node = *level[i];
        workers.start([&node, &snapshot, &results, &results_mutex, &failure] {
          try {
            Context outputs = run_node(node, snapshot);
            std::lock_guard<std::mutex> lock(results_mutex);
            results.push_back(std::move(outputs));
          } catch (...) {
            std::exception_ptr error = std::current_exception();
            // Only a foreign exception has no exception_ptr: the forced
            // unwind that ends this thread, which must go all the way.
            if (!error) throw;
            failure.capture(std::move(error));
          }
        });
      }
    }
    failure.rethrow_if_any();
  }

  std::lock_guard<std::mutex> lock(results_mutex);
  for (Context& outputs : results) context.merge_from(std::move(outputs));
}

void run_by_levels(const Dag& dag, Context& context, std::optional<std::uint64_t> max_threads) {
  const Dag::Levels& levels = dag.levels();
  std::vector<const Node*> level_nodes;
  for (std::size_t level = 0; level < levels.size(); ++level) {
    level_nodes.clear();
    for (NodeId id : levels[level]) {
      if (const Node* node = dag.find(id)) level_nodes.push_back(node);
    }
    if (levels[level].size() == 1) {
      if (!level_nodes.empty()) context.merge_from(run_node(*level_nodes.front(), context));
    } else if (!level_nodes.empty()) {
      run_level_concurrently(level_nodes, context, max_threads);
    }
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

Context execute(const Dag& dag, bool parallel, std::optional<std::uint64_t> max_threads) {
  Context context;
  if (parallel) {
    run_by_levels(dag, context, max_threads);
  } else {
    run_sequentially(dag, context);
  }
  return context;
}

}  // namespace pelmo
