#include "value/value.hpp"

namespace pelmo {

Value Value::map(Context entries) {
  return Value(std::in_place_index<5>, std::make_unique<Context>(std::move(entries)));
}

Value::~Value() = default;

Value clone(const Value& value) {
  switch (value.kind()) {
    case ValueKind::Int:
      return Value::integer(value.as_int());
    case ValueKind::Float:
      return Value::real(value.as_float());
    case ValueKind::Str:
      return Value::text(value.as_str());
    case ValueKind::FloatList:
      return Value::float_list(value.as_float_list());
    case ValueKind::IntList:
      return Value::int_list(value.as_int_list());
    case ValueKind::Map:
      return Value::map(value.as_map().clone());
    case ValueKind::Object:
      return Value::object(value.as_object().clone());
    case ValueKind::None:
      break;
  }
  return Value::none();
}

}  // namespace pelmo
