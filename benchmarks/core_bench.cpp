// Costs of the native core per node at 10k, 100k and 1M nodes: ordering a
// DAG, running it sequentially with functions that do nothing, and drawing
// it as Mermaid text. Two shapes: a chain, and levels of 1000 nodes each
// depending on one node of the level before. Then parallel runs of 16
// levels of 64 nodes, with nodes that do nothing (the cost of a worker
// thread) and nodes that sleep 5 ms (how close the run comes to 16 sleeps).
// The core links no Python: nothing here starts an interpreter.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "dag/dag.hpp"
#include "dag/execute.hpp"
#include "dag/mermaid.hpp"

namespace pelmo {
namespace {

constexpr std::size_t kLevelWidth = 1000;

class NoOp : public NodeFunction {
 public:
  void call(NodeCall&) const override {}
};

class Sleep : public NodeFunction {
 public:
  void call(NodeCall&) const override { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }
};

// Node i depends on node i - stride, if any: stride 1 makes a chain,
// kLevelWidth makes levels of that many nodes. With `labelled`, each node
// has a label and its own mappings, as a graph built step by step has.
NodeStore strided_nodes(std::size_t count, std::size_t stride,
                        SharedNodeFunction function = std::make_shared<NoOp>(),
                        bool labelled = false) {
  NodeStore store;
  store.reserve_nodes(count);
  Node node;
  node.function = store.add_function(function);
  for (std::size_t i = 0; i < count; ++i) {
    node.id = i;
    const NodeId dependency = i - stride;
    node.dependencies = store.add_dependencies(std::span(&dependency, i >= stride ? 1 : 0));
    if (labelled) {
      node.label = store.add_label("Step " + std::to_string(i));
      node.inputs = store.add_pairs({{"value", "x"}});
      node.outputs = store.add_pairs({{"y", "value"}});
    }
    store.add_node(node);
  }
  return store;
}

void set_per_node(benchmark::State& state, std::size_t count) {
  state.counters["per_node"] =
      benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void build(benchmark::State& state, std::size_t stride) {
  const auto count = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    NodeStore nodes = strided_nodes(count, stride);
    state.ResumeTiming();
    Dag dag = build_dag(std::move(nodes));
    benchmark::DoNotOptimize(dag.execution_order().data());
    // Freeing a million records would otherwise dominate the figure.
    state.PauseTiming();
    {
      Dag discarded = std::move(dag);
    }
    state.ResumeTiming();
  }
  set_per_node(state, count);
}

void run_sequentially(benchmark::State& state, std::size_t stride) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const Dag dag = build_dag(strided_nodes(count, stride));
  for (auto _ : state) {
    Context result = execute(dag, false, std::nullopt);
    benchmark::DoNotOptimize(result.size());
  }
  set_per_node(state, count);
}

constexpr std::size_t kWideWidth = 64;
constexpr std::size_t kWideLevels = 16;

// range(0): max_threads, 0 standing for none (the whole level at once).
template <typename Function>
void run_wide_in_parallel(benchmark::State& state) {
  const std::size_t count = kWideWidth * kWideLevels;
  const Dag dag = build_dag(strided_nodes(count, kWideWidth, std::make_shared<Function>()));
  std::optional<std::uint64_t> max_threads;
  if (state.range(0) > 0) max_threads = static_cast<std::uint64_t>(state.range(0));
  for (auto _ : state) {
    Context result = execute(dag, true, max_threads);
    benchmark::DoNotOptimize(result.size());
  }
  set_per_node(state, count);
}

void mermaid_of_chain(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const Dag dag = build_dag(strided_nodes(count, 1));
  for (auto _ : state) {
    std::string text = to_mermaid_text(dag);
    benchmark::DoNotOptimize(text.data());
  }
  set_per_node(state, count);
}

// Every box labelled and every arrow labelled with the name that flows
// along it: the text the renderer has to look through.
void mermaid_of_labelled_chain(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const Dag dag = build_dag(strided_nodes(count, 1, std::make_shared<NoOp>(), /*labelled=*/true));
  for (auto _ : state) {
    std::string text = to_mermaid_text(dag);
    benchmark::DoNotOptimize(text.data());
  }
  set_per_node(state, count);
}

}  // namespace
}  // namespace pelmo

int main(int argc, char** argv) {
  using namespace pelmo;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::vector<benchmark::internal::Benchmark*> all = {
      benchmark::RegisterBenchmark("build_dag/chain", build, std::size_t{1}),
      benchmark::RegisterBenchmark("build_dag/levels_x1000", build, kLevelWidth),
      benchmark::RegisterBenchmark("execute_sequential/chain", run_sequentially, std::size_t{1}),
      benchmark::RegisterBenchmark("execute_sequential/levels_x1000", run_sequentially,
                                   kLevelWidth),
      benchmark::RegisterBenchmark("to_mermaid_text/chain", mermaid_of_chain),
      benchmark::RegisterBenchmark("to_mermaid_text/labelled_chain", mermaid_of_labelled_chain),
  };
  for (benchmark::internal::Benchmark* registered : all) {
    registered->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
  }
  for (benchmark::internal::Benchmark* registered :
       {benchmark::RegisterBenchmark("execute_parallel/wide_64x16_noop",
                                     run_wide_in_parallel<NoOp>),
        benchmark::RegisterBenchmark("execute_parallel/wide_64x16_sleep_5ms",
                                     run_wide_in_parallel<Sleep>)}) {
    // The calling thread only waits: wall time is the figure.
    registered->ArgName("max_threads")
        ->Arg(0)
        ->Arg(8)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
