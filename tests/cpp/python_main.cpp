// Runs the tests of the Python side inside an embedded interpreter, so that
// conversions and reference counts can be exercised. The main
// thread holds the lock through the module while tests run, as an entry
// point would; tests that need it released say so.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include "python_bindings/gil.hpp"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  pelmo::gil_scope::enter();
  int status = RUN_ALL_TESTS();
  pelmo::gil_scope::leave();
  if (Py_FinalizeEx() < 0) status = status == 0 ? 1 : status;
  return status;
}
