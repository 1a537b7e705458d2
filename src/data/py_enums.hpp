// The Python classes LineType, Account and Category: one class per
// interpreter per enumeration, with exactly one immutable value object per
// value in each interpreter.
#pragma once

#include <Python.h>

#include <array>

#include "data/enums.hpp"

namespace lib {
struct State;
struct Path;
}  // namespace lib

namespace data {

// A class with its value objects, indexed by declaration order.
template <std::size_t N>
struct ClassObjects {
  PyTypeObject* type = nullptr;
  std::array<PyObject*, N> values{};
};

// The three classes of one interpreter (each holding a reference).
struct EnumObjects {
  ClassObjects<kLineTypeValues.size()> line_type;
  ClassObjects<kAccountValues.size()> account;
  ClassObjects<kCategoryValues.size()> category;
};

// Creates the three classes with all their value objects; false with
// RuntimeError set (caused by the underlying failure) if one cannot be made,
// leaving `out` empty.
bool create_enum_objects(EnumObjects& out);
// Releases the classes and value objects, taking back from each class the
// attributes that still hold its own value objects (a value object refers to
// its class, and the collector cannot see that reference).
void release_enum_objects(EnumObjects& objects) noexcept;

// The interpreter's value object of a value, borrowed from the interpreter's
// set, which holds it until the interpreter ends, or NULL with an exception: a
// container it is stored into takes its own reference, and the caller needs
// none to take and drop around it.
PyObject* shared_object(LineType value, const lib::State& state);
PyObject* shared_object(Account value, const lib::State& state);
PyObject* shared_object(Category value, const lib::State& state);

// The module function `_enum_value(class_name, value)`, through which pickled
// value objects are restored as the value objects of the interpreter that
// loads them. Not in __all__.
extern PyMethodDef kRestoreValue;

// Reads a value object of the class; anything else (an int, a value of
// another class) fails with the cast error naming the class.
bool convert(PyObject* obj, LineType& out, const lib::Path& at);
bool convert(PyObject* obj, Account& out, const lib::Path& at);
bool convert(PyObject* obj, Category& out, const lib::Path& at);

// The same for a value object only; false with nothing set for anything else.
bool fast_convert(PyObject* obj, LineType& out, const lib::State& state) noexcept;
bool fast_convert(PyObject* obj, Account& out, const lib::State& state) noexcept;
bool fast_convert(PyObject* obj, Category& out, const lib::State& state) noexcept;

}  // namespace data
