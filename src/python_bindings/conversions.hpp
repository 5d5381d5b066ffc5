// Conversions between values and Python objects, all under the interpreter
// lock. Towards Python every kind has its own form (maps that look like
// arrays become lists); from Python every object stays an opaque reference
// and comes back as the identical object.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "python_bindings/name_keys.hpp"
#include "python_bindings/py_error.hpp"
#include "value/value.hpp"

namespace pelmo {

// Where the interpreter cannot create an object that a conversion needs
// (memory runs out, a text does not decode), the conversion throws a
// PythonExceptionEscape carrying its error.

// A new reference. Throws PythonExceptionEscape.
PyObjectRef value_to_python(const Value& value);

// A new str of UTF-8 text. Throws PythonExceptionEscape.
PyObjectRef text_to_python(std::string_view text);

// A new empty dict with room for `expected` entries. Throws PythonExceptionEscape.
PyObjectRef new_dict(std::size_t expected);

// Stores `value` in `dict` under the key of `name`; false, with the
// Python error set, when the dict refuses it. Throws PythonExceptionEscape.
bool store_named(PyObject* dict, const NameKeys& keys, NameId name, const Value& value);

}  // namespace pelmo
