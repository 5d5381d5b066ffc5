#include "python_bindings/reference_holders.hpp"

#include <iterator>
#include <memory>

#include "python_bindings/py_node_function.hpp"

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

ReferenceHolders ReferenceHolders::of(const std::vector<SharedNodeFunction>& functions) {
  auto found = [](void*, void*) { return 1; };
  ReferenceHolders holders;
  for (const SharedNodeFunction& function : functions) {
    if (function && function->visit_references(found, nullptr) != 0)
      holders.functions_.push_back(function);
  }
  holders.functions_.shrink_to_fit();
  return holders;
}

SharedNodeFunction ReferenceHolders::function_for(PyObject* callable) {
  auto [entry, added] = made_for_.try_emplace(callable, functions_.size());
  if (!added) return functions_[entry->second];
  try {
    functions_.push_back(std::make_shared<PyNodeFunction>(PyObjectRef::borrow(callable)));
  } catch (...) {
    made_for_.erase(entry);
    throw;
  }
  return functions_.back();
}

void ReferenceHolders::take_all(ReferenceHolders&& other) {
  functions_.insert(functions_.end(), std::make_move_iterator(other.functions_.begin()),
                    std::make_move_iterator(other.functions_.end()));
  other.functions_.clear();
  other.made_for_.clear();
}

int ReferenceHolders::traverse(visitproc visit, void* arg) const {
  PythonVisit python_visit{visit, arg};
  for (const SharedNodeFunction& function : functions_) {
    if (int result = function->visit_references(visit_python_object, &python_visit)) return result;
  }
  return 0;
}

}  // namespace pelmo
