// The dynamic value that flows between nodes, and the context that maps
// names to values. A Value owns its payload exclusively; copies are explicit
// and deep, except that a shared object (a Python object, in the module)
// only gains a reference. Values are never compared.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "value/object_handle.hpp"
#include "value/seeded_map.hpp"

namespace pelmo {

class Value;
using Context = SeededMap<Value>;

// The order is fixed: the ordinal is the kind's tag.
enum class ValueKind : std::uint8_t { Int, Float, Str, FloatList, IntList, Map, Object, None };

class Value {
 public:
  Value() noexcept : payload_(std::in_place_index<7>) {}

  static Value integer(std::int64_t number) { return Value(std::in_place_index<0>, number); }
  static Value real(double number) { return Value(std::in_place_index<1>, number); }
  static Value text(std::string bytes) { return Value(std::in_place_index<2>, std::move(bytes)); }
  static Value float_list(std::vector<double> items) {
    return Value(std::in_place_index<3>, std::move(items));
  }
  static Value int_list(std::vector<std::int64_t> items) {
    return Value(std::in_place_index<4>, std::move(items));
  }
  static Value map(Context entries);
  static Value object(ObjectHandle handle) noexcept {
    return Value(std::in_place_index<6>, std::move(handle));
  }
  static Value none() noexcept { return Value(); }

  Value(Value&&) noexcept = default;
  Value& operator=(Value&&) noexcept = default;
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  ~Value();

  ValueKind kind() const noexcept { return static_cast<ValueKind>(payload_.index()); }

  std::int64_t as_int() const { return std::get<0>(payload_); }
  double as_float() const { return std::get<1>(payload_); }
  const std::string& as_str() const { return std::get<2>(payload_); }
  const std::vector<double>& as_float_list() const { return std::get<3>(payload_); }
  const std::vector<std::int64_t>& as_int_list() const { return std::get<4>(payload_); }
  const Context& as_map() const { return *std::get<5>(payload_); }
  Context& as_map_mut() { return *std::get<5>(payload_); }
  const ObjectHandle& as_object() const { return std::get<6>(payload_); }

 private:
  template <std::size_t I, typename... Args>
  explicit Value(std::in_place_index_t<I> index, Args&&... args)
      : payload_(index, std::forward<Args>(args)...) {}

  // Alternatives in ValueKind order. The map kind is boxed because a context holds values; never
  // null.
  std::variant<std::int64_t, double, std::string, std::vector<double>, std::vector<std::int64_t>,
               std::unique_ptr<Context>, ObjectHandle, std::monostate>
      payload_;
};

// Deep copy: strings, vectors and maps are copied element by element; a
// shared object gains one reference and is not copied.
Value clone(const Value& value);

}  // namespace pelmo
