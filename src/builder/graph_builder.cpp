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
  std::vector<BranchRecord> pending = std::move(subgraphs);
  while (!pending.empty()) {
    BranchRecord record = std::move(pending.back());
    pending.pop_back();
    for (BranchRecord& nested : record.subgraph.subgraphs) {
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

NameMap mapping_from(const PairList* pairs) {
  NameMap mapping;
  if (pairs == nullptr) return mapping;
  for (const auto& [first, second] : *pairs) mapping.insert(first, second);
  return mapping;
}

// The parents of the next step: each tail, or one absent parent.
std::vector<std::optional<NodeId>> parents_of(const GraphBuilder& graph) {
  if (graph.tails.empty()) return {std::nullopt};
  return {graph.tails.begin(), graph.tails.end()};
}

Node make_node(GraphBuilder& graph, const SharedNodeFunction& function,
               std::optional<std::string> label, const NameMap& inputs, const NameMap& outputs,
               std::optional<NodeId> parent) {
  Node node;
  node.id = graph.next_node_id++;
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
void append_copy(GraphBuilder& graph, const GraphBuilder& source,
                 std::optional<NodeId> attach_point, bool as_branch) {
  std::unordered_map<NodeId, NodeId> new_id;
  new_id.reserve(source.nodes.size());
  for (const Node& node : source.nodes) new_id.emplace(node.id, graph.next_node_id++);
  // Grown geometrically: a build merges one record after another, and an
  // exact reservation for each would move every node already there.
  const std::size_t needed = graph.nodes.size() + source.nodes.size();
  if (needed > graph.nodes.capacity()) {
    graph.nodes.reserve(std::max(needed, 2 * graph.nodes.capacity()));
  }
  for (const Node& node : source.nodes) {
    Node copy = node.clone();
    copy.id = new_id.at(node.id);
    copy.dependencies.clear();
    for (NodeId dependency : node.dependencies) copy.dependencies.push_back(new_id.at(dependency));
    if (node.dependencies.empty() && attach_point) copy.dependencies.push_back(*attach_point);
    if (as_branch) {
      copy.variant_index.reset();
      copy.is_branch = true;
    }
    graph.nodes.push_back(std::move(copy));
  }
}

// Calls `visit` on each record of `records` and, depth first, on the records
// of their subgraphs: a record, then its own records, in order. Iterative,
// so that nesting depth costs heap, not stack.
template <typename Visit>
void for_each_record(const std::vector<BranchRecord>& records, Visit&& visit) {
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
    push_reversed(record.subgraph.subgraphs);
  }
}

}  // namespace

void add(GraphBuilder& graph, SharedNodeFunction function, const std::optional<std::string>& label,
         const PairList* inputs, const PairList* outputs) {
  const NameMap input_mapping = mapping_from(inputs);
  const NameMap output_mapping = mapping_from(outputs);
  std::vector<NodeId> new_tails;
  for (std::optional<NodeId> parent : parents_of(graph)) {
    Node node = make_node(graph, function, label, input_mapping, output_mapping, parent);
    new_tails.push_back(node.id);
    graph.nodes.push_back(std::move(node));
  }
  graph.tails = std::move(new_tails);
  graph.branch_point.reset();
}

void variants(GraphBuilder& graph, const std::vector<SharedNodeFunction>& functions,
              const std::optional<std::string>& label, const PairList* inputs,
              const PairList* outputs) {
  const std::vector<std::optional<NodeId>> parents = parents_of(graph);
  std::optional<std::vector<NodeId>> saved_branch_point;
  if (!graph.tails.empty()) saved_branch_point = graph.tails;
  const NameMap input_mapping = mapping_from(inputs);
  const NameMap output_mapping = mapping_from(outputs);

  std::vector<NodeId> new_tails;
  new_tails.reserve(functions.size() * parents.size());
  for (std::size_t index = 0; index < functions.size(); ++index) {
    std::optional<std::string> variant_label;
    if (label) variant_label = *label + " (v" + std::to_string(index) + ")";
    for (std::optional<NodeId> parent : parents) {
      Node node =
          make_node(graph, functions[index], variant_label, input_mapping, output_mapping, parent);
      node.variant_index = index;
      node.is_branch = parent.has_value();
      new_tails.push_back(node.id);
      graph.nodes.push_back(std::move(node));
    }
  }
  graph.tails = std::move(new_tails);
  graph.branch_point = std::move(saved_branch_point);
}

std::uint64_t branch(GraphBuilder& graph, GraphBuilder&& subgraph) {
  const std::uint64_t branch_id = graph.next_branch_id++;
  if (!graph.branch_point && !graph.tails.empty()) graph.branch_point = graph.tails;
  const bool attached = graph.branch_point.has_value();
  if (attached) {
    for (NodeId attach_point : *graph.branch_point) {
      append_copy(graph, subgraph, attach_point, /*as_branch=*/true);
    }
  }
  graph.subgraphs.push_back(BranchRecord{branch_id, std::move(subgraph), attached});
  return branch_id;
}

Dag build(GraphBuilder&& graph) {
  std::vector<BranchRecord> records = std::move(graph.subgraphs);
  // A record copied at a branch point is in the graph already; merging it
  // again would run each of its nodes twice. Its own records may still hold
  // subgraphs that never found a node to attach to.
  for_each_record(records, [&graph](const BranchRecord& record) {
    if (!record.attached) append_copy(graph, record.subgraph, std::nullopt, /*as_branch=*/false);
  });
  return build_dag(std::move(graph.nodes));
}

}  // namespace pelmo
