// What Python sees of a built Dag's nodes and failures: the plain record
// classes of the package's pure-Python part (pelmo/_records.py), filled
// from the Dag. Everything here requires the lock.
#pragma once

#include "dag/dag.hpp"
#include "python_bindings/name_keys.hpp"
#include "python_bindings/py_object.hpp"

namespace pelmo {

// A class of pelmo._records, looked up at each use: the module is imported
// once and then found in sys.modules. Throws PythonErrorAlreadySet.
PyObjectRef record_class(const char* name);

// A new list of pelmo.Node records, one per node in execution order, whose
// mappings share the str objects of `keys` (made). Throws
// PythonErrorAlreadySet.
PyObjectRef node_records(const Dag& dag, const NameKeys& keys);

}  // namespace pelmo
