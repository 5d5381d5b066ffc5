#include "dag/mermaid.hpp"

#include <algorithm>
#include <charconv>
#include <unordered_set>

namespace pelmo {
namespace {

constexpr const char* kBranchFill = "#e1f5ff";
constexpr const char* kVariantFills[4] = {"#ffe1e1", "#e1ffe1", "#ffe1ff", "#ffffe1"};

void append_id(std::string& text, NodeId id) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  text.append(digits, end);
}

struct ArrowHash {
  std::size_t operator()(const std::pair<NodeId, NodeId>& arrow) const noexcept {
    return std::hash<NodeId>()(arrow.first * 0x9e3779b97f4a7c15ULL ^ arrow.second);
  }
};

bool produces(const Node& node, const std::string& broadcast_name) {
  for (const auto& mapping : node.outputs) {
    if (mapping.value == broadcast_name) return true;
  }
  return false;
}

void append_arrow(std::string& text, const Node* from_node, NodeId from, const Node& to) {
  text += "    ";
  append_id(text, from);
  bool labelled = false;
  if (from_node != nullptr) {
    for (const auto& mapping : to.inputs) {
      if (!produces(*from_node, mapping.key)) continue;
      text += labelled ? "<br/>" : " -->|";
      text += mapping.key;
      text += " \xE2\x86\x92 ";  // U+2192 RIGHTWARDS ARROW
      text += mapping.value;
      labelled = true;
    }
  }
  text += labelled ? "| " : " --> ";
  append_id(text, to.id);
  text += '\n';
}

}  // namespace

std::string to_mermaid_text(const Dag& dag) {
  std::string text = "graph TD\n";
  for (const Node& node : dag.nodes()) {
    text += "    ";
    append_id(text, node.id);
    text += "[\"";
    if (node.label) {
      text += *node.label;
    } else {
      text += "Node ";
      append_id(text, node.id);
    }
    text += "\"]\n";
  }

  // An arrow repeats only through a repeated dependency of one node, unless
  // two records share an id: short dependency lists are searched in place,
  // and only the rest go through the set of written arrows.
  std::unordered_set<std::pair<NodeId, NodeId>, ArrowHash> written;
  const bool ids_unique = dag.ids_unique();
  for (const Node& node : dag.nodes()) {
    const std::vector<NodeId>& dependencies = node.dependencies;
    for (std::size_t i = 0; i < dependencies.size(); ++i) {
      const NodeId dependency = dependencies[i];
      if (ids_unique && dependencies.size() <= 16) {
        if (std::find(dependencies.begin(), dependencies.begin() + i, dependency) !=
            dependencies.begin() + i) {
          continue;
        }
      } else if (!written.emplace(dependency, node.id).second) {
        continue;
      }
      append_arrow(text, dag.find(dependency), dependency, node);
    }
  }

  for (const Node& node : dag.nodes()) {
    if (!node.is_branch) continue;
    text += "    style ";
    append_id(text, node.id);
    text += " fill:";
    text += kBranchFill;
    text += '\n';
  }
  for (const Node& node : dag.nodes()) {
    if (!node.variant_index) continue;
    text += "    style ";
    append_id(text, node.id);
    text += " fill:";
    text += kVariantFills[*node.variant_index % 4];
    text += '\n';
  }
  return text;
}

}  // namespace pelmo
