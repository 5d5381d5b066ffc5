#include "python_bindings/reference_holders.hpp"

#include <algorithm>
#include <functional>
#include <iterator>

namespace pelmo {
namespace {

// Python's visit function and its argument, for the opaque visitor that
// node functions take.
struct PythonVisit {
  visitproc visit;
  void* arg;
};

int visit_python_object(void* object, void* python_visit) {
  const auto& [visit, arg] = *static_cast<const PythonVisit*>(python_visit);
  return visit(static_cast<PyObject*>(object), arg);
}

}  // namespace

ReferenceHolders ReferenceHolders::of(const std::vector<Node>& nodes) {
  std::vector<const SharedNodeFunction*> all;
  all.reserve(nodes.size());
  for (const Node& node : nodes) all.push_back(&node.function);
  auto by_function = [](const SharedNodeFunction* a, const SharedNodeFunction* b) {
    return std::less<>()(a->get(), b->get());
  };
  auto same_function = [](const SharedNodeFunction* a, const SharedNodeFunction* b) {
    return a->get() == b->get();
  };
  std::sort(all.begin(), all.end(), by_function);
  all.erase(std::unique(all.begin(), all.end(), same_function), all.end());

  auto found = [](void*, void*) { return 1; };
  ReferenceHolders holders;
  for (const SharedNodeFunction* function : all) {
    if ((*function)->visit_references(found, nullptr) != 0) holders.add(*function);
  }
  holders.functions_.shrink_to_fit();
  return holders;
}

void ReferenceHolders::take_all(ReferenceHolders&& other) {
  functions_.insert(functions_.end(), std::make_move_iterator(other.functions_.begin()),
                    std::make_move_iterator(other.functions_.end()));
  other.functions_.clear();
}

int ReferenceHolders::traverse(visitproc visit, void* arg) const {
  PythonVisit python_visit{visit, arg};
  for (const SharedNodeFunction& function : functions_) {
    if (int result = function->visit_references(visit_python_object, &python_visit)) return result;
  }
  return 0;
}

}  // namespace pelmo
