// Conversions between values and Python objects, all under the interpreter
// lock. Towards Python every kind has its own form (maps that look like
// arrays become lists); from Python every object stays an opaque reference
// and comes back as the identical object.
#pragma once

#include <stdexcept>
#include <string>
#include <variant>

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

// A context entry that could not be stored in the dict, with its error.
struct DictStoreFailure {
  std::string key;
  FetchedError error;
};

// A new dict of the context's entries, or the first entry that could not be
// stored (the partial dict is dropped, no Python error is left set). Throws
// ConversionError when an allocation fails.
std::variant<PyObjectRef, DictStoreFailure> context_to_dict(const Context& context);

// `dict` must be a dict or an instance of a dict subclass; its storage is
// read directly. Entries whose key is not a str, or a str that does not
// encode as UTF-8, are skipped. Never fails, leaves no error set.
Context dict_to_context(PyObject* dict);

}  // namespace pelmo
