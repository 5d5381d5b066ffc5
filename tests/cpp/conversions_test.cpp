// Conversions to Python of every value kind, including maps that read as
// lists and lists of complex pairs, and of Python dicts back to contexts.
#include "python_bindings/conversions.hpp"

#include <gtest/gtest.h>

#include <string>

#include "python_fixture.hpp"

namespace pelmo {
namespace {

using testing::refcount;

// Evaluates a Python expression; a new reference.
PyObjectRef eval(const char* expression) {
  PyObjectRef globals = PyObjectRef::steal(PyDict_New());
  PyObjectRef result =
      PyObjectRef::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
  if (!result) PyErr_Print();
  return result;
}

std::string repr(const PyObjectRef& object) {
  PyObjectRef text = PyObjectRef::steal(PyObject_Repr(object.get()));
  return PyUnicode_AsUTF8(text.get());
}

Value map_of(std::initializer_list<std::pair<const char*, Value*>> entries) {
  Context map;
  for (const auto& [key, value] : entries) map.insert(key, std::move(*value));
  return Value::map(std::move(map));
}

Value complex_part(Value re, Value im) {
  Context parts;
  parts.insert("re", std::move(re));
  parts.insert("im", std::move(im));
  return Value::map(std::move(parts));
}

TEST(ValueToPython, ScalarsAndListsTakeTheirPythonForms) {
  EXPECT_EQ(repr(value_to_python(Value::integer(-7))), "-7");
  EXPECT_EQ(repr(value_to_python(Value::real(2.5))), "2.5");
  EXPECT_EQ(repr(value_to_python(Value::text("h\xC3\xA9"))), "'h\xC3\xA9'");
  EXPECT_EQ(repr(value_to_python(Value::float_list({1.0, 0.5}))), "[1.0, 0.5]");
  EXPECT_EQ(repr(value_to_python(Value::int_list({3, -4}))), "[3, -4]");
  EXPECT_EQ(value_to_python(Value::none()).get(), Py_None);
}

TEST(ValueToPython, PythonObjectComesBackIdenticalWithOneMoreReference) {
  PyObjectRef list = eval("[1, 2]");
  Value value = python_value(list.clone());
  const Py_ssize_t before = refcount(list.get());
  PyObjectRef back = value_to_python(value);
  EXPECT_EQ(back.get(), list.get());
  EXPECT_EQ(refcount(list.get()), before + 1);
}

TEST(ValueToPython, EmptyMapIsAnEmptyDict) {
  EXPECT_EQ(repr(value_to_python(Value::map(Context()))), "{}");
}

TEST(ValueToPython, MapOfComplexPartsIsAListOfFloatPairs) {
  Value first = complex_part(Value::real(1.5), Value::integer(-2));
  Value second = complex_part(Value::integer(3), Value::real(0.25));
  Value map = map_of({{"1", &second}, {"0", &first}});
  EXPECT_EQ(repr(value_to_python(map)), "[(1.5, -2.0), (3.0, 0.25)]");
}

TEST(ValueToPython, ComplexPartsOfOtherKindsReadAsZero) {
  Value odd = complex_part(Value::text("x"), Value::none());
  Value map = map_of({{"0", &odd}});
  EXPECT_EQ(repr(value_to_python(map)), "[(0.0, 0.0)]");
}

TEST(ValueToPython, MapWithoutImaginaryPartFallsBackToIndexList) {
  Context parts;
  parts.insert("re", Value::real(1.0));
  Value inner = Value::map(std::move(parts));
  Value map = map_of({{"0", &inner}});
  EXPECT_EQ(repr(value_to_python(map)), "[{'re': 1.0}]");
}

TEST(ValueToPython, IndexListIsOrderedByIndexWhateverTheMapOrder) {
  for (int attempt = 0; attempt < 20; ++attempt) {  // fresh seeds, varying map order
    Value five = Value::integer(5);
    Value a = Value::text("a");
    Value map = map_of({{"1", &five}, {"0", &a}});
    EXPECT_EQ(repr(value_to_python(map)), "['a', 5]");
  }
}

TEST(ValueToPython, NestedMapsConvertRecursively) {
  Value leaf = Value::int_list({1});
  Context inner;
  inner.insert("k", std::move(leaf));
  Value inner_value = Value::map(std::move(inner));
  Value map = map_of({{"0", &inner_value}});
  EXPECT_EQ(repr(value_to_python(map)), "[{'k': [1]}]");
}

TEST(ValueToPython, KeysThatAreNotAContiguousIndexRangeGiveADict) {
  Value a = Value::integer(1);
  Value b = Value::integer(2);
  PyObjectRef gap = value_to_python(map_of({{"0", &a}, {"2", &b}}));
  ASSERT_TRUE(PyDict_Check(gap.get()));
  EXPECT_EQ(PyDict_Size(gap.get()), 2);

  for (const char* key :
       {"-1", "", "+", "123456789012345678901", "18446744073709551616", " 1", "1 "}) {
    Value one = Value::integer(1);
    PyObjectRef converted = value_to_python(map_of({{key, &one}}));
    EXPECT_TRUE(PyDict_Check(converted.get())) << "key '" << key << "'";
  }
}

TEST(ValueToPython, NonCanonicalIndexKeysPassTheTestButAreLeftOut) {
  Value zero = Value::integer(0);
  EXPECT_EQ(repr(value_to_python(map_of({{"+0", &zero}}))), "[]");
  Value seven = Value::integer(7);
  Value other = Value::integer(1);
  // "007" is index 7 but the map has only two entries: not an index list.
  PyObjectRef padded = value_to_python(map_of({{"007", &seven}, {"0", &other}}));
  EXPECT_TRUE(PyDict_Check(padded.get()));
  Value first = Value::integer(10);
  Value second = Value::integer(11);
  EXPECT_EQ(repr(value_to_python(map_of({{"0", &first}, {"01", &second}}))), "[10]");
}

TEST(ValueToPython, LargestIndexDoesNotWrapIntoAMatch) {
  Value value = Value::integer(1);
  PyObjectRef converted = value_to_python(map_of({{"18446744073709551615", &value}}));
  EXPECT_TRUE(PyDict_Check(converted.get()));
}

}  // namespace
}  // namespace pelmo
