#include "builder/graph_builder.hpp"

#include <algorithm>
#include <new>

#include "builder/heap_trim.hpp"

namespace pelmo {

GraphBuilder::GraphBuilder() = default;
GraphBuilder::GraphBuilder(GraphBuilder&&) noexcept = default;
GraphBuilder& GraphBuilder::operator=(GraphBuilder&&) noexcept = default;

GraphBuilder::~GraphBuilder() {
  // Left to themselves, nested records would be destroyed one stack frame
  // per level. Their records are taken out into one flat list instead, so
  // each builder dies with no records of its own.
  std::vector<BranchRecord> pending = std::move(subgraphs_);
  while (!pending.empty()) {
    BranchRecord record = std::move(pending.back());
    pending.pop_back();
    for (BranchRecord& nested : record.subgraph.subgraphs_) {
      try {
        pending.push_back(std::move(nested));
      } catch (const std::bad_alloc&) {
        // Out of memory: the records not moved yet go the recursive way.
        break;
      }
    }
  }
}

// The parents of the next step: each tail, or one absent parent.
std::vector<std::optional<NodeId>> GraphBuilder::parents() const {
  if (tails_.empty()) return {std::nullopt};
  return {tails_.begin(), tails_.end()};
}

// Gives `node` the next id and its one dependency, if any.
void GraphBuilder::append_node(Node node, std::optional<NodeId> parent) {
  node.id = store_.size();
  if (parent) node.dependencies = store_.add_dependencies(std::span(&*parent, 1));
  store_.add_node(node);
}

// Appends one copy of every node of `source` per attach point (once, with
// no attach point, when there are none), each copy with consecutive fresh
// ids and its own wiring translated to them. Roots depend on the attach
// point. The source's tables are entered once for all the copies.
void GraphBuilder::append_copies(const GraphBuilder& source, std::span<const NodeId> attach_points,
                                 bool as_branch) {
  const NodeStore::Import import = store_.import_tables(source.store_);
  const std::size_t copies = std::max<std::size_t>(attach_points.size(), 1);
  store_.reserve_nodes(copies * source.store_.size());
  std::vector<NodeId> translated;
  for (std::size_t copy = 0; copy < copies; ++copy) {
    const NodeId base = store_.size();
    for (const Node& node : source.store_.nodes()) {
      Node entered = node;
      entered.id = base + node.id;
      entered.function = import.functions[node.function];
      if (node.label != kNoName) entered.label = import.labels[node.label];
      entered.inputs.begin += import.pair_offset;
      entered.outputs.begin += import.pair_offset;
      translated.clear();
      for (NodeId dependency : source.store_.dependencies(node))
        translated.push_back(base + dependency);
      if (translated.empty() && !attach_points.empty()) translated.push_back(attach_points[copy]);
      entered.dependencies = store_.add_dependencies(translated);
      if (as_branch) {
        entered.variant_index = kNoVariant;
        entered.is_branch = true;
      }
      store_.add_node(entered);
    }
  }
}

// Calls `visit` on each record of `records` and, depth first, on the records
// of their subgraphs: a record, then its own records, in order. Iterative,
// so that nesting depth costs heap, not stack.
template <typename Visit>
void GraphBuilder::for_each_record(const std::vector<BranchRecord>& records, Visit&& visit) {
  std::vector<const BranchRecord*> pending;
  auto push_reversed = [&pending](const std::vector<BranchRecord>& level) {
    for (auto record = level.rbegin(); record != level.rend(); ++record) {
      pending.push_back(&*record);
    }
  };
  push_reversed(records);
  while (!pending.empty()) {
    const BranchRecord& record = *pending.back();
    pending.pop_back();
    visit(record);
    push_reversed(record.subgraph.subgraphs_);
  }
}

void GraphBuilder::add(SharedNodeFunction function, const std::optional<std::string>& label,
                       const PairList& inputs, const PairList& outputs) {
  // The nodes made for the tails share every table entry.
  Node node;
  node.function = store_.add_function(function);
  if (label) node.label = store_.add_label(*label);
  node.inputs = store_.add_pairs(inputs);
  node.outputs = store_.add_pairs(outputs);
  std::vector<NodeId> new_tails;
  for (std::optional<NodeId> parent : parents()) {
    new_tails.push_back(store_.size());
    append_node(node, parent);
  }
  tails_ = std::move(new_tails);
  branch_point_.reset();
}

void GraphBuilder::variants(const std::vector<SharedNodeFunction>& functions,
                            const std::optional<std::string>& label, const PairList& inputs,
                            const PairList& outputs) {
  const std::vector<std::optional<NodeId>> parent_list = parents();
  std::optional<std::vector<NodeId>> saved_branch_point;
  if (!tails_.empty()) saved_branch_point = tails_;
  Node node;
  node.inputs = store_.add_pairs(inputs);
  node.outputs = store_.add_pairs(outputs);

  std::vector<NodeId> new_tails;
  new_tails.reserve(functions.size() * parent_list.size());
  store_.reserve_nodes(functions.size() * parent_list.size());
  for (std::size_t index = 0; index < functions.size(); ++index) {
    node.function = store_.add_function(functions[index]);
    if (label) node.label = store_.add_label(*label + " (v" + std::to_string(index) + ")");
    node.variant_index = static_cast<std::uint32_t>(index);
    for (std::optional<NodeId> parent : parent_list) {
      node.is_branch = parent.has_value();
      new_tails.push_back(store_.size());
      append_node(node, parent);
    }
  }
  tails_ = std::move(new_tails);
  branch_point_ = std::move(saved_branch_point);
}

std::uint64_t GraphBuilder::branch(GraphBuilder&& subgraph) {
  const std::uint64_t branch_id = next_branch_id_++;
  if (!branch_point_ && !tails_.empty()) branch_point_ = tails_;
  const bool attached = branch_point_.has_value();
  if (attached && !branch_point_->empty())
    append_copies(subgraph, *branch_point_, /*as_branch=*/true);
  subgraphs_.push_back(BranchRecord{branch_id, std::move(subgraph), attached});
  return branch_id;
}

Dag GraphBuilder::build() && {
  std::vector<BranchRecord> records = std::move(subgraphs_);
  // A record copied at a branch point is in the graph already; merging it
  // again would run each of its nodes twice. Its own records may still hold
  // subgraphs that never found a node to attach to.
  for_each_record(records, [this](const BranchRecord& record) {
    if (!record.attached) append_copies(record.subgraph, {}, /*as_branch=*/false);
  });
  Dag dag = build_dag(std::move(store_));
  trim_heap_after_build(dag.node_count());
  return dag;
}

}  // namespace pelmo
