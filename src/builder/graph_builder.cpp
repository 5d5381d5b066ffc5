#include "builder/graph_builder.hpp"

#include <algorithm>
#include <new>
#include <unordered_map>

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

namespace {

NameMap mapping_from(const PairList& pairs) {
  NameMap mapping;
  for (const auto& [first, second] : pairs) mapping.insert(first, second);
  return mapping;
}

}  // namespace

// The parents of the next step: each tail, or one absent parent.
std::vector<std::optional<NodeId>> GraphBuilder::parents() const {
  if (tails_.empty()) return {std::nullopt};
  return {tails_.begin(), tails_.end()};
}

Node GraphBuilder::new_node(const SharedNodeFunction& function, std::optional<std::string> label,
                            const NameMap& inputs, const NameMap& outputs,
                            std::optional<NodeId> parent) {
  Node node;
  node.id = next_node_id_++;
  node.label = std::move(label);
  node.function = function;
  node.inputs = inputs.clone();
  node.outputs = outputs.clone();
  if (parent) node.dependencies.push_back(*parent);
  return node;
}

// Appends a copy of every node of `source` with consecutive fresh ids, its
// own wiring translated to them. Roots depend on `attach_point` when there is
// one and stay roots otherwise.
void GraphBuilder::append_copy(const GraphBuilder& source, std::optional<NodeId> attach_point,
                               bool as_branch) {
  std::unordered_map<NodeId, NodeId> new_id;
  new_id.reserve(source.nodes_.size());
  for (const Node& node : source.nodes_) new_id.emplace(node.id, next_node_id_++);
  // Grown geometrically: a build merges one record after another, and an
  // exact reservation for each would move every node already there.
  const std::size_t needed = nodes_.size() + source.nodes_.size();
  if (needed > nodes_.capacity()) nodes_.reserve(std::max(needed, 2 * nodes_.capacity()));
  for (const Node& node : source.nodes_) {
    Node copy = node.clone();
    copy.id = new_id.at(node.id);
    copy.dependencies.clear();
    for (NodeId dependency : node.dependencies) copy.dependencies.push_back(new_id.at(dependency));
    if (node.dependencies.empty() && attach_point) copy.dependencies.push_back(*attach_point);
    if (as_branch) {
      copy.variant_index.reset();
      copy.is_branch = true;
    }
    nodes_.push_back(std::move(copy));
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
  const NameMap input_mapping = mapping_from(inputs);
  const NameMap output_mapping = mapping_from(outputs);
  std::vector<NodeId> new_tails;
  for (std::optional<NodeId> parent : parents()) {
    Node node = new_node(function, label, input_mapping, output_mapping, parent);
    new_tails.push_back(node.id);
    nodes_.push_back(std::move(node));
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
  const NameMap input_mapping = mapping_from(inputs);
  const NameMap output_mapping = mapping_from(outputs);

  std::vector<NodeId> new_tails;
  new_tails.reserve(functions.size() * parent_list.size());
  for (std::size_t index = 0; index < functions.size(); ++index) {
    std::optional<std::string> variant_label;
    if (label) variant_label = *label + " (v" + std::to_string(index) + ")";
    for (std::optional<NodeId> parent : parent_list) {
      Node node = new_node(functions[index], variant_label, input_mapping, output_mapping, parent);
      node.variant_index = index;
      node.is_branch = parent.has_value();
      new_tails.push_back(node.id);
      nodes_.push_back(std::move(node));
    }
  }
  tails_ = std::move(new_tails);
  branch_point_ = std::move(saved_branch_point);
}

std::uint64_t GraphBuilder::branch(GraphBuilder&& subgraph) {
  const std::uint64_t branch_id = next_branch_id_++;
  if (!branch_point_ && !tails_.empty()) branch_point_ = tails_;
  const bool attached = branch_point_.has_value();
  if (attached) {
    for (NodeId attach_point : *branch_point_) {
      append_copy(subgraph, attach_point, /*as_branch=*/true);
    }
  }
  subgraphs_.push_back(BranchRecord{branch_id, std::move(subgraph), attached});
  return branch_id;
}

Dag GraphBuilder::build() && {
  std::vector<BranchRecord> records = std::move(subgraphs_);
  // A record copied at a branch point is in the graph already; merging it
  // again would run each of its nodes twice. Its own records may still hold
  // subgraphs that never found a node to attach to.
  for_each_record(records, [this](const BranchRecord& record) {
    if (!record.attached) append_copy(record.subgraph, std::nullopt, /*as_branch=*/false);
  });
  return build_dag(std::move(nodes_));
}

}  // namespace pelmo
