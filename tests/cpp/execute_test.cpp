#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "core_support.hpp"
#include "dag/execute.hpp"

namespace pelmo {
namespace {

using namespace std::chrono_literals;
using testing::CountedObjects;
using testing::int_at;
using testing::ints;
using testing::levels_of;
using testing::make_node;
using testing::NodeSpec;
using testing::order_of;

// A function written against texts, as the tests' stand-ins are: it gets
// the node's inputs keyed by impl_var and returns results keyed by
// impl_var, which the call keeps for the outputs the node maps.
class ContextFunction : public NodeFunction {
 public:
  virtual Context results(const Context& inputs) const = 0;

  void call(NodeCall& call) const final {
    Context inputs;
    for (const NodeInput& input : call.inputs())
      inputs.insert(std::string(call.names()[input.name]), clone(*input.value));
    const Context kept = results(inputs);
    for (const auto& entry : kept) call.keep(entry.key, clone(entry.value));
  }
};

// Returns fixed results, and keeps a copy of every input map it receives
// together with the calling thread.
class Recorder : public ContextFunction {
 public:
  struct Call {
    Context inputs;
    std::thread::id thread;
  };

  explicit Recorder(Context results = {}) : results_(std::move(results)) {}

  Context results(const Context& inputs) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(Call{inputs.clone(), std::this_thread::get_id()});
    return results_.clone();
  }

  std::size_t call_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.size();
  }
  const Call& call_at(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.at(index);
  }

 private:
  Context results_;
  mutable std::mutex mutex_;
  mutable std::vector<Call> calls_;
};

// "n" = input "n" + 1, or 1 when there is no input.
class Increment : public ContextFunction {
 public:
  Context results(const Context& inputs) const override {
    const Value* n = inputs.get("n");
    return ints({{"n", n == nullptr ? 1 : n->as_int() + 1}});
  }
};

// Passes its input "in" on as "out".
class Echo : public ContextFunction {
 public:
  Context results(const Context& inputs) const override {
    Context results;
    if (const Value* in = inputs.get("in")) results.insert("out", clone(*in));
    return results;
  }
};

struct NodeFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Thrower : public NodeFunction {
 public:
  void call(NodeCall&) const override { throw NodeFailed("node failed"); }
};

// Lets each caller through only once every caller of its chunk (consecutive
// groups of `group` arrivals) has arrived, then keeps it a little longer, so
// the peak number of callers inside equals the group size unless chunks
// overlap or a chunk runs short.
class Gate : public NodeFunction {
 public:
  Gate(std::size_t group, std::size_t total) : group_(group), total_(total) {}

  void call(NodeCall&) const override {
    std::unique_lock<std::mutex> lock(mutex_);
    peak_ = std::max(peak_, ++inside_);
    threads_.push_back(std::this_thread::get_id());
    const std::size_t arrival = ++arrived_;
    const std::size_t goal = std::min(total_, ((arrival - 1) / group_ + 1) * group_);
    arrivals_.notify_all();
    if (!arrivals_.wait_for(lock, 5s, [&] { return arrived_ >= goal; })) timed_out_ = true;
    // Long enough for any worker started too early to show up meanwhile.
    lock.unlock();
    std::this_thread::sleep_for(20ms);
    lock.lock();
    --inside_;
  }

  std::size_t peak() const { return locked(peak_); }
  std::size_t arrived() const { return locked(arrived_); }
  bool timed_out() const { return locked(timed_out_); }
  std::vector<std::thread::id> threads() const { return locked(threads_); }

 private:
  template <typename T>
  T locked(const T& field) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return field;
  }

  const std::size_t group_;
  const std::size_t total_;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrivals_;
  mutable std::size_t inside_ = 0;
  mutable std::size_t peak_ = 0;
  mutable std::size_t arrived_ = 0;
  mutable bool timed_out_ = false;
  mutable std::vector<std::thread::id> threads_;
};

// A root (id 0) that the `width` nodes of level one (ids 1..width), all
// running `function`, depend on.
Dag wide_level(std::size_t width, const SharedNodeFunction& function) {
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>()));
  for (NodeId id = 1; id <= width; ++id) nodes.push_back(make_node(id, {0}, function));
  return testing::dag_of_specs(std::move(nodes));
}

// The root publishes a, b and unrelated. The node maps two of them and a
// name nobody publishes, and three results, one it never returns; a result
// it returns unmapped goes nowhere.
TEST(NodeCall, MapsNamesBothWaysAndSkipsAbsentOnes) {
  auto recorder = std::make_shared<Recorder>(ints({{"r", 10}, {"s", 20}, {"unmapped", 30}}));
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>(ints({{"a", 1}, {"b", 2}, {"c", 3}})),
                            {}, {{"a", "a"}, {"b", "b"}, {"c", "unrelated"}}));
  nodes.push_back(make_node(1, {0}, recorder, {{"a", "x"}, {"missing", "y"}, {"b", "z"}},
                            {{"r", "R"}, {"s", "S"}, {"absent", "T"}}));

  const Context result = execute(testing::dag_of_specs(std::move(nodes)), false, std::nullopt);

  const Context& received = recorder->call_at(0).inputs;
  EXPECT_EQ(received.size(), 2u);
  EXPECT_EQ(int_at(received, "x"), 1);
  EXPECT_EQ(int_at(received, "z"), 2);
  EXPECT_EQ(result.size(), 5u);
  EXPECT_EQ(int_at(result, "R"), 10);
  EXPECT_EQ(int_at(result, "S"), 20);
  EXPECT_EQ(int_at(result, "a"), 1);
}

// Reads x by text, then keeps s = x + 1 by position and r = x by text.
class KeepBothWays : public NodeFunction {
 public:
  void call(NodeCall& call) const override {
    const Value* x = call.input("x");
    if (x == nullptr) return;
    for (std::size_t output = 0; output < call.outputs().size(); ++output) {
      if (call.names()[call.outputs()[output].first] == "s")
        call.keep(output, Value::integer(x->as_int() + 1));
    }
    call.keep("r", Value::integer(x->as_int()));
  }
};

// Of two inputs to one impl_var the later counts; of two outputs to one
// broadcast_var the later output does, whatever order the results came in.
TEST(NodeCall, LaterMappingWinsOnEitherSide) {
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>(ints({{"a", 1}, {"b", 2}})), {},
                            {{"a", "a"}, {"b", "b"}}));
  nodes.push_back(make_node(1, {0}, std::make_shared<KeepBothWays>(), {{"a", "x"}, {"b", "x"}},
                            {{"r", "R"}, {"s", "R"}}));
  const Dag dag = testing::dag_of_specs(std::move(nodes));
  for (bool parallel : {false, true}) {
    const Context result = execute(dag, parallel, std::nullopt);
    EXPECT_EQ(result.size(), 3u);
    EXPECT_EQ(int_at(result, "R"), 3);
  }
}

// A chain of three incrementers: a run that saw the previous run's context
// would end above 3.
TEST(Execute, ChainStartsFromEmptyContextOnEveryRun) {
  auto increment = std::make_shared<Increment>();
  std::vector<NodeSpec> nodes;
  for (NodeId id = 0; id < 3; ++id) {
    std::vector<NodeId> dependencies;
    if (id > 0) dependencies.push_back(id - 1);
    nodes.push_back(make_node(id, dependencies, increment, {{"n", "n"}}, {{"n", "n"}}));
  }
  Dag dag = testing::dag_of_specs(std::move(nodes));
  for (bool parallel : {false, true, false, true}) {
    EXPECT_EQ(int_at(execute(dag, parallel, 2), "n"), 3);
  }
}

// Root publishes x = 1; in the next level a writer publishes x = 2 and y = 1
// before a reader that records x and publishes y = 2.
struct WriterThenReader {
  std::shared_ptr<Recorder> reader = std::make_shared<Recorder>(ints({{"y", 2}}));
  Dag dag = build();

  Dag build() {
    std::vector<NodeSpec> nodes;
    nodes.push_back(
        make_node(0, {}, std::make_shared<Recorder>(ints({{"x", 1}})), {}, {{"x", "x"}}));
    nodes.push_back(make_node(1, {0}, std::make_shared<Recorder>(ints({{"x", 2}, {"y", 1}})), {},
                              {{"x", "x"}, {"y", "y"}}));
    nodes.push_back(make_node(2, {0}, reader, {{"x", "x"}}, {{"y", "y"}}));
    return testing::dag_of_specs(std::move(nodes));
  }
};

TEST(Execute, SequentialMergesAfterEveryNodeAndIgnoresMaxThreads) {
  const std::optional<std::uint64_t> limits[] = {std::nullopt, 0, 1, 8};
  for (std::optional<std::uint64_t> max_threads : limits) {
    WriterThenReader graph;
    ASSERT_EQ(order_of(graph.dag), (std::vector<NodeId>{0, 1, 2}));
    Context result = execute(graph.dag, false, max_threads);
    EXPECT_EQ(int_at(graph.reader->call_at(0).inputs, "x"), 2);
    EXPECT_EQ(graph.reader->call_at(0).thread, std::this_thread::get_id());
    EXPECT_EQ(int_at(result, "x"), 2);
    EXPECT_EQ(int_at(result, "y"), 2);
  }
}

TEST(Execute, SingleNodeLevelsRunOnCallingThread) {
  auto recorder = std::make_shared<Recorder>();
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, recorder));
  nodes.push_back(make_node(1, {0}, recorder));
  execute(testing::dag_of_specs(std::move(nodes)), true, std::nullopt);
  ASSERT_EQ(recorder->call_count(), 2u);
  EXPECT_EQ(recorder->call_at(0).thread, std::this_thread::get_id());
  EXPECT_EQ(recorder->call_at(1).thread, std::this_thread::get_id());
}

TEST(Execute, WholeLevelRunsAtOnceWithoutMaxThreads) {
  constexpr std::size_t kWidth = 12;
  auto gate = std::make_shared<Gate>(kWidth, kWidth);
  execute(wide_level(kWidth, gate), true, std::nullopt);
  EXPECT_FALSE(gate->timed_out());
  EXPECT_EQ(gate->peak(), kWidth);
}

TEST(Execute, ZeroMaxThreadsRunsOneAtATime) {
  auto gate = std::make_shared<Gate>(1, 5);
  execute(wide_level(5, gate), true, 0);
  EXPECT_EQ(gate->arrived(), 5u);
  EXPECT_EQ(gate->peak(), 1u);
}

TEST(Execute, SequentialFailureStopsTheRun) {
  auto after = std::make_shared<Recorder>();
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>()));
  nodes.push_back(make_node(1, {0}, std::make_shared<Thrower>()));
  nodes.push_back(make_node(2, {1}, after));
  Dag dag = testing::dag_of_specs(std::move(nodes));
  try {
    execute(dag, false, std::nullopt);
    ADD_FAILURE() << "the run went on";
  } catch (const NodesFailed& failed) {
    ASSERT_EQ(failed.failures().size(), 1u);
    EXPECT_EQ(failed.failures()[0].node, 1u);
    EXPECT_THROW(std::rethrow_exception(failed.failures()[0].error), NodeFailed);
  }
  EXPECT_EQ(after->call_count(), 0u);
}

TEST(Execute, SharedObjectsBalanceAfterParallelRun) {
  CountedObjects objects;
  const ObjectHandle object = objects.make();
  Context root_results;
  root_results.insert("obj", Value::object(object.clone()));
  std::vector<NodeSpec> nodes;
  nodes.push_back(
      make_node(0, {}, std::make_shared<Recorder>(std::move(root_results)), {}, {{"obj", "obj"}}));
  auto echo = std::make_shared<Echo>();
  const char* copies[] = {"c1", "c2", "c3", "c4"};
  for (NodeId id = 1; id <= 4; ++id) {
    nodes.push_back(make_node(id, {0}, echo, {{"obj", "in"}}, {{"out", copies[id - 1]}}));
  }
  Dag dag = testing::dag_of_specs(std::move(nodes));
  ASSERT_EQ(objects.references(object), 2);

  const std::optional<std::uint64_t> limits[] = {std::nullopt, 2};
  for (std::optional<std::uint64_t> max_threads : limits) {
    Context result = execute(dag, true, max_threads);
    EXPECT_EQ(objects.references(object), 2 + 5);
    for (const char* name : copies) EXPECT_EQ(result.get(name)->as_object().get(), object.get());
  }
  EXPECT_EQ(objects.references(object), 2);
  {
    Dag gone = std::move(dag);
  }
  EXPECT_EQ(objects.references(object), 1);
}

class ParallelExecute : public ::testing::TestWithParam<std::uint64_t> {};

INSTANTIATE_TEST_SUITE_P(Workers, ParallelExecute, ::testing::Values(1, 2, 4, 8));

TEST_P(ParallelExecute, NeverMoreWorkersThanChunkAndNoneOnCallingThread) {
  constexpr std::size_t kWidth = 10;
  const std::size_t workers = GetParam();
  auto gate = std::make_shared<Gate>(workers, kWidth);
  execute(wide_level(kWidth, gate), true, workers);

  EXPECT_FALSE(gate->timed_out());
  EXPECT_EQ(gate->arrived(), kWidth);
  EXPECT_EQ(gate->peak(), std::min<std::size_t>(workers, kWidth));
  for (std::thread::id thread : gate->threads()) EXPECT_NE(thread, std::this_thread::get_id());
}

// Readers after the writer in the level must see the root's x, whichever
// chunk they land in.
TEST_P(ParallelExecute, SiblingOutputsStayInvisibleWithinLevel) {
  constexpr std::size_t kReaders = 4;
  const std::size_t workers = GetParam();
  std::vector<std::shared_ptr<Recorder>> readers;
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>(ints({{"x", 1}})), {}, {{"x", "x"}}));
  nodes.push_back(
      make_node(1, {0}, std::make_shared<Recorder>(ints({{"x", 2}})), {}, {{"x", "x"}}));
  for (NodeId id = 2; id < 2 + kReaders; ++id) {
    readers.push_back(std::make_shared<Recorder>(ints({{"last", static_cast<std::int64_t>(id)}})));
    nodes.push_back(make_node(id, {0}, readers.back(), {{"x", "x"}}, {{"last", "last"}}));
  }
  Dag dag = testing::dag_of_specs(std::move(nodes));
  ASSERT_EQ(levels_of(dag)[1], (std::vector<NodeId>{1, 2, 3, 4, 5}));

  Context result = execute(dag, true, workers);
  for (const auto& reader : readers) {
    ASSERT_EQ(reader->call_count(), 1u);
    EXPECT_EQ(int_at(reader->call_at(0).inputs, "x"), 1);
  }
  EXPECT_EQ(int_at(result, "x"), 2);
  // The readers share a name: the last of them in level order has it,
  // whichever chunk each ran in.
  EXPECT_EQ(int_at(result, "last"), static_cast<std::int64_t>(2 + kReaders - 1));
}

// Publishes x = `value`. The earlier node of a pair waits until the later
// one has called, so it finishes last.
class Handoff : public ContextFunction {
 public:
  struct Signal {
    std::mutex mutex;
    std::condition_variable raised_changed;
    bool raised = false;
  };

  Handoff(std::shared_ptr<Signal> signal, bool waits, std::int64_t value)
      : signal_(std::move(signal)), waits_(waits), value_(value) {}

  Context results(const Context&) const override {
    std::unique_lock<std::mutex> lock(signal_->mutex);
    if (waits_) {
      waited_ = signal_->raised_changed.wait_for(lock, 5s, [&] { return signal_->raised; });
    } else {
      signal_->raised = true;
      signal_->raised_changed.notify_all();
    }
    return ints({{"x", value_}});
  }

  bool waited() const {
    std::lock_guard<std::mutex> lock(signal_->mutex);
    return waited_;
  }

 private:
  std::shared_ptr<Signal> signal_;
  const bool waits_;
  const std::int64_t value_;
  mutable bool waited_ = false;
};

// Both nodes of the level at once, the earlier finishing last: the merge
// goes by level order, not by completion.
TEST(Execute, SameNameInOneLevelKeepsTheLaterNodesValue) {
  const std::optional<std::uint64_t> limits[] = {std::nullopt, 2};
  for (std::optional<std::uint64_t> max_threads : limits) {
    auto signal = std::make_shared<Handoff::Signal>();
    auto earlier = std::make_shared<Handoff>(signal, /*waits=*/true, 1);
    std::vector<NodeSpec> nodes;
    nodes.push_back(make_node(0, {}, std::make_shared<Recorder>()));
    nodes.push_back(make_node(1, {0}, earlier, {}, {{"x", "x"}}));
    nodes.push_back(
        make_node(2, {0}, std::make_shared<Handoff>(signal, false, 2), {}, {{"x", "x"}}));
    const Context result = execute(testing::dag_of_specs(std::move(nodes)), true, max_threads);
    EXPECT_TRUE(earlier->waited());
    EXPECT_EQ(int_at(result, "x"), 2);
  }
}

// Sleeps, then passes its input "in" on as "out"; counts the calls that
// started and those that got to the end.
class Nap : public ContextFunction {
 public:
  explicit Nap(std::chrono::milliseconds pause) : pause_(pause) {}

  Context results(const Context& inputs) const override {
    started_.fetch_add(1);
    std::this_thread::sleep_for(pause_);
    finished_.fetch_add(1);
    return Echo().results(inputs);
  }

  int started() const { return started_.load(); }
  int finished() const { return finished_.load(); }

 private:
  const std::chrono::milliseconds pause_;
  mutable std::atomic<int> started_{0};
  mutable std::atomic<int> finished_{0};
};

// A root publishing x = 1, a level of `width` naps each publishing x as
// "o<id>", and one node after the first nap.
Dag napping_level(std::size_t width, const std::shared_ptr<Nap>& nap,
                  const std::shared_ptr<Recorder>& after) {
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>(ints({{"x", 1}})), {}, {{"x", "x"}}));
  for (NodeId id = 1; id <= width; ++id) {
    nodes.push_back(make_node(id, {0}, nap, {{"x", "in"}}));
    nodes.back().outputs.emplace_back("out", "o" + std::to_string(id));
  }
  nodes.push_back(make_node(width + 1, {1}, after));
  return testing::dag_of_specs(std::move(nodes));
}

struct PollStopped : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Counts its polls and where they came from; throws from the first if told to.
class CountingHost : public RunHost {
 public:
  explicit CountingHost(bool throws) : throws_(throws) {}
  bool polls() const override { return true; }
  void poll() override {
    ++calls;
    poll_thread = std::this_thread::get_id();
    if (throws_) throw PollStopped("stop");
  }
  int calls = 0;
  std::thread::id poll_thread;

 private:
  bool throws_;
};

TEST_P(ParallelExecute, PollThatThrowsStopsTheRunOnceRunningNodesEnd) {
  constexpr std::size_t kWidth = 9;
  const std::size_t workers = GetParam();
  // Long enough for the first poll to come while the first nodes sleep.
  auto nap = std::make_shared<Nap>(10 * kWaitPollInterval);
  auto after = std::make_shared<Recorder>();
  Dag dag = napping_level(kWidth, nap, after);
  CountingHost host(/*throws=*/true);

  EXPECT_THROW(execute(dag, true, workers, &host), PollStopped);
  EXPECT_EQ(host.calls, 1);
  EXPECT_EQ(host.poll_thread, std::this_thread::get_id());
  // On a loaded machine a worker may not have taken its first node by the
  // first poll; none takes one after it.
  EXPECT_GE(nap->started(), 1);
  EXPECT_LE(nap->started(), static_cast<int>(std::min(workers, kWidth)));
  EXPECT_EQ(nap->finished(), nap->started());
  EXPECT_EQ(after->call_count(), 0u);
}

// Levels of one short nap each: only a pace kept across the waits makes
// the polls come at all.
TEST(Execute, PollThatReturnsChangesNothingAndKeepsItsPaceAcrossShortWaits) {
  constexpr std::size_t kWidth = 24;
  auto nap = std::make_shared<Nap>(kWaitPollInterval / 4);
  Dag dag = napping_level(kWidth, nap, std::make_shared<Recorder>());
  CountingHost host(/*throws=*/false);

  const Context result = execute(dag, true, 1, &host);
  EXPECT_GE(host.calls, 2);
  EXPECT_EQ(nap->finished(), static_cast<int>(kWidth));
  ASSERT_EQ(result.size(), kWidth + 1);
  for (const auto& entry : result) EXPECT_EQ(entry.value.as_int(), 1) << entry.key;
}

// The first node of the level throws at once while the others nap: those
// that started finish, no other starts, and the next level never runs.
TEST_P(ParallelExecute, FailureStartsNoFurtherNodeAndListsWhatThrew) {
  constexpr std::size_t kWidth = 9;
  const std::size_t workers = GetParam();
  auto nap = std::make_shared<Nap>(30ms);
  auto after = std::make_shared<Recorder>();
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>()));
  nodes.push_back(make_node(1, {0}, std::make_shared<Thrower>()));
  for (NodeId id = 2; id <= kWidth; ++id) nodes.push_back(make_node(id, {0}, nap));
  nodes.push_back(make_node(kWidth + 1, {1}, after));
  Dag dag = testing::dag_of_specs(std::move(nodes));

  try {
    execute(dag, true, workers);
    ADD_FAILURE() << "the run went on";
  } catch (const NodesFailed& failed) {
    ASSERT_EQ(failed.failures().size(), 1u);
    EXPECT_EQ(failed.failures()[0].node, 1u);
  }
  EXPECT_LE(nap->started(), static_cast<int>(workers) - 1);
  EXPECT_EQ(nap->finished(), nap->started());
  EXPECT_EQ(after->call_count(), 0u);
}

// Every node of the level throws: all that ran are listed, in level order.
TEST_P(ParallelExecute, EveryFailureOfALevelIsListedInLevelOrder) {
  const std::size_t workers = GetParam();
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>()));
  for (NodeId id = 1; id <= 4; ++id)
    nodes.push_back(make_node(id, {0}, std::make_shared<Thrower>()));
  Dag dag = testing::dag_of_specs(std::move(nodes));
  try {
    execute(dag, true, workers);
    ADD_FAILURE() << "the run went on";
  } catch (const NodesFailed& failed) {
    ASSERT_GE(failed.failures().size(), 1u);
    ASSERT_LE(failed.failures().size(), workers);
    for (std::size_t i = 1; i < failed.failures().size(); ++i)
      EXPECT_LT(failed.failures()[i - 1].node, failed.failures()[i].node);
  }
}

// Sleeps until every other node of its level has run, or two seconds.
class WaitsForTheRest : public NodeFunction {
 public:
  explicit WaitsForTheRest(std::shared_ptr<Recorder> rest, std::size_t count)
      : rest_(std::move(rest)), count_(count) {}
  void call(NodeCall&) const override {
    const auto give_up = std::chrono::steady_clock::now() + 2s;
    while (rest_->call_count() < count_ && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(1ms);
    finished_with_the_rest = rest_->call_count() == count_;
  }
  mutable std::atomic<bool> finished_with_the_rest{false};

 private:
  std::shared_ptr<Recorder> rest_;
  std::size_t count_;
};

// Two workers, a slow node first: the other worker takes every later node of
// the level while the slow one runs.
TEST(Execute, FreeWorkerTakesTheNextNodeWhileASlowOneRuns) {
  auto rest = std::make_shared<Recorder>();
  auto slow = std::make_shared<WaitsForTheRest>(rest, 5);
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>()));
  nodes.push_back(make_node(1, {0}, slow));
  for (NodeId id = 2; id <= 6; ++id) nodes.push_back(make_node(id, {0}, rest));
  execute(testing::dag_of_specs(std::move(nodes)), true, 2);
  EXPECT_TRUE(slow->finished_with_the_rest);
}

// Starts the first `allowed` threads and refuses the rest, as a system out
// of threads or memory maps does.
std::atomic<int> starts_left{0};
int start_some(pthread_t* thread, const pthread_attr_t* attributes, void* (*entry)(void*),
               void* argument) {
  if (starts_left.fetch_sub(1) <= 0) return EAGAIN;
  return pthread_create(thread, attributes, entry, argument);
}

TEST(Execute, LevelGoesOnWithTheWorkersThatCouldStart) {
  auto recorder = std::make_shared<Recorder>();
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>()));
  for (NodeId id = 1; id <= 40; ++id) nodes.push_back(make_node(id, {0}, recorder));
  for (NodeId id = 41; id <= 80; ++id) nodes.push_back(make_node(id, {1}, recorder));
  const Dag dag = testing::dag_of_specs(std::move(nodes));
  for (int allowed : {1, 3}) {
    starts_left = allowed;
    RunContext context(dag.store().names().size());
    RunOptions options;
    options.parallel = true;
    options.start_thread = &start_some;
    run(dag, context, options);
  }
  EXPECT_EQ(recorder->call_count(), 160u);
}

TEST(Execute, LevelWithoutAnyWorkerFailsSayingWhatRanOut) {
  auto recorder = std::make_shared<Recorder>();
  const Dag dag = wide_level(4, recorder);
  starts_left = 0;
  RunContext context(dag.store().names().size());
  RunOptions options;
  options.parallel = true;
  options.start_thread = &start_some;
  try {
    run(dag, context, options);
    ADD_FAILURE() << "the run went on";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EAGAIN);
    EXPECT_NE(std::string(error.what()).find("cannot start any worker thread"), std::string::npos);
  }
  EXPECT_EQ(recorder->call_count(), 0u);
}

// Where each call ran: its thread and the size of that thread's stack.
class StackRecorder : public NodeFunction {
 public:
  void call(NodeCall&) const override {
    pthread_attr_t attributes;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      pthread_attr_getstacksize(&attributes, &size);
      pthread_attr_destroy(&attributes);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.push_back(std::this_thread::get_id());
    sizes_.push_back(size);
  }
  std::vector<std::thread::id> threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  std::vector<std::size_t> sizes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sizes_;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::vector<std::thread::id> threads_;
  mutable std::vector<std::size_t> sizes_;
};

// Two levels of six nodes each, at most two at a time: two workers serve
// the whole run, each on a stack of at least 2 MiB.
TEST(Execute, TwoWorkersServeEveryLevelOfARun) {
  auto recorder = std::make_shared<StackRecorder>();
  std::vector<NodeSpec> nodes;
  nodes.push_back(make_node(0, {}, std::make_shared<Recorder>()));
  for (NodeId id = 1; id <= 6; ++id) nodes.push_back(make_node(id, {0}, recorder));
  for (NodeId id = 7; id <= 12; ++id) nodes.push_back(make_node(id, {1}, recorder));
  execute(testing::dag_of_specs(std::move(nodes)), true, 2);

  const auto threads = recorder->threads();
  ASSERT_EQ(threads.size(), 12u);
  std::vector<std::thread::id> distinct(threads);
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  EXPECT_LE(distinct.size(), 2u);
  for (std::size_t size : recorder->sizes()) EXPECT_GE(size, std::size_t{2} << 20);
}

// Levels of random sizes and limits, some stopped part way: every task of a
// level that is not stopped runs exactly once, no task twice, and never more
// of them at once than allowed.
TEST(WorkerTeam, EveryTaskRunsOnceWithinItsLevelsLimit) {
  struct Level {
    WorkerTeam* team;
    std::size_t workers;
    std::size_t stop_at;  // the task that stops the level, or past the end
    std::vector<std::atomic<int>> runs;
    std::atomic<std::size_t> inside{0};
    std::atomic<std::size_t> peak{0};

    static void run(void* argument, std::size_t index) {
      auto& level = *static_cast<Level*>(argument);
      const std::size_t now = level.inside.fetch_add(1) + 1;
      std::size_t peak = level.peak.load();
      while (now > peak && !level.peak.compare_exchange_weak(peak, now)) {
      }
      level.runs[index].fetch_add(1);
      if (index == level.stop_at) level.team->stop();
      level.inside.fetch_sub(1);
    }
  };

  std::mt19937 random(20261209);
  WorkerTeam team;
  WaitPolling no_polls(nullptr, nullptr, kWaitPollInterval);
  for (int round = 0; round < 300; ++round) {
    const std::size_t count = random() % 40;
    Level level{&team, 1 + random() % 8, random() % 4 == 0 ? random() % 40 : SIZE_MAX,
                std::vector<std::atomic<int>>(count)};
    team.run_level(count, level.workers, LevelTask{&Level::run, &level}, no_polls);
    ASSERT_LE(level.peak.load(), level.workers);
    for (std::size_t index = 0; index < count; ++index) {
      const int runs = level.runs[index].load();
      if (level.stop_at >= count) {
        ASSERT_EQ(runs, 1) << "round " << round << " task " << index;
      } else {
        ASSERT_LE(runs, 1);
      }
    }
  }
  EXPECT_LE(team.size(), 8u);
}

}  // namespace
}  // namespace pelmo
