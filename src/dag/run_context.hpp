// The context of one run: a place for each name of the Dag, indexed by name
// id, empty until a node's output fills it. A name holds one value; a later
// output replaces it.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "dag/name_table.hpp"
#include "value/value.hpp"

namespace pelmo {

class RunContext {
 public:
  explicit RunContext(std::size_t names) : places_(names) {}

  const Value* get(NameId name) const noexcept {
    const std::optional<Value>& place = places_[name];
    return place ? &*place : nullptr;
  }
  // The replaced value, if any, is released here.
  void put(NameId name, Value&& value) {
    std::optional<Value>& place = places_[name];
    filled_ += !place.has_value();
    place = std::move(value);
  }

  Value* get_mut(NameId name) noexcept {
    std::optional<Value>& place = places_[name];
    return place ? &*place : nullptr;
  }

  std::size_t size() const noexcept { return places_.size(); }

  // Empties a place, releasing its value here.
  void release(NameId name) noexcept {
    std::optional<Value>& place = places_[name];
    filled_ -= place.has_value();
    place.reset();
  }
  // Names that hold a value.
  std::size_t filled() const noexcept { return filled_; }

 private:
  std::vector<std::optional<Value>> places_;
  std::size_t filled_ = 0;
};

}  // namespace pelmo
