// The Python classes LineType, Account and Category: one class per process
// per enumeration, with exactly one immutable value object per value.
#pragma once

#include <Python.h>

#include "data/enums.hpp"

namespace data {

// The process-wide class (borrowed), created with all its value objects on
// first need; NULL with RuntimeError set if it cannot be created.
PyObject* line_type_class();
PyObject* account_class();
PyObject* category_class();

// A new reference to the value object of a value, or NULL with an exception.
PyObject* to_python(LineType value);
PyObject* to_python(Account value);
PyObject* to_python(Category value);

// The module function `_enum_value(class_name, value)`, through which pickled
// value objects are restored as the very same objects. Not in __all__.
extern PyMethodDef kRestoreValue;

// Reads a value object of the class; anything else (an int, a value of
// another class) fails with the cast error naming the class.
bool convert(PyObject* obj, LineType& out);
bool convert(PyObject* obj, Account& out);
bool convert(PyObject* obj, Category& out);

}  // namespace data
