#include "python_bindings/py_error.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace pelmo {

FetchedError FetchedError::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return FetchedError(PyObjectRef::steal(type), PyObjectRef::steal(value),
                      PyObjectRef::steal(traceback));
}

void FetchedError::restore() && {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

namespace {

// Appends the text of a str object; false, with no error left set, when
// there is none.
bool append_text(std::string& out, PyObject* text_object) {
  if (text_object == nullptr || !PyUnicode_Check(text_object)) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text_object, &size);
  if (bytes == nullptr) {
    PyErr_Clear();
    return false;
  }
  out.append(bytes, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

std::string FetchedError::describe() const {
  std::string text;
  if (empty()) return text;
  // Interned, so that every lookup uses the same name object: the type
  // attribute cache keeps a reference to each distinct name object it sees.
  PyObjectRef attribute = PyObjectRef::steal(PyUnicode_InternFromString("__qualname__"));
  PyObjectRef name = attribute ? PyObjectRef::steal(PyObject_GetAttr(type_.get(), attribute.get()))
                               : PyObjectRef();
  if (!append_text(text, name.get())) text += "<unknown exception>";
  text += ": ";
  if (value_) {
    PyObjectRef shown = PyObjectRef::steal(PyObject_Str(value_.get()));
    if (!append_text(text, shown.get())) text += "<exception str() failed>";
  }
  return text;
}

}  // namespace pelmo
