// Conversions between values and Python objects, all under the interpreter
// lock. Towards Python every kind has its own form (maps that look like
// arrays become lists); from Python every object stays an opaque reference
// and comes back as the identical object.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "python_bindings/name_keys.hpp"
#include "python_bindings/py_error.hpp"
#include "value/value.hpp"

namespace pelmo {

// The interpreter could not create an object a conversion needed. Its error
// has been printed; the operation that needed the conversion cannot go on.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A new reference. Throws ConversionError when an allocation fails.
PyObjectRef value_to_python(const Value& value);

// A new str of UTF-8 text. Throws ConversionError when it cannot be made
// (the text does not decode, or memory runs out).
PyObjectRef text_to_python(std::string_view text);

// A new empty dict with room for `expected` entries. Throws ConversionError.
PyObjectRef new_dict(std::size_t expected);

// Stores `value` in `dict` under the key of `name`; false, with the
// Python error set, when the dict refuses it. Throws ConversionError.
bool store_named(PyObject* dict, const NameKeys& keys, NameId name, const Value& value);

}  // namespace pelmo
