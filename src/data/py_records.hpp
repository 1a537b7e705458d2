// Reading records from Python mappings and writing lines back as dicts.
#pragma once

#include <Python.h>

#include <vector>

#include "data/records.hpp"
#include "lib/binding.hpp"

namespace data {

// Each reads its fields in declaration order by item access; false with the
// Python exception set on the first failure. `at` is the record's place in
// the call's arguments, named in the failure's note.
bool convert(PyObject* obj, LineItem& out, const lib::Path& at);
bool convert(PyObject* obj, ServicePlan& out, const lib::Path& at);
bool convert(PyObject* obj, Pricing& out, const lib::Path& at);
bool convert(PyObject* obj, TipLinesContext& out, const lib::Path& at);
bool convert(PyObject* obj, DeliverableLinesContext& out, const lib::Path& at);

// The same for exact dicts whose fields all take their fast conversion
// (lib::fast_convert); false with nothing set otherwise. The conversions above
// try this first. `st` holds the interpreter's key strings and classes.
bool fast_convert(PyObject* obj, LineItem& out, const lib::State& st);
bool fast_convert(PyObject* obj, ServicePlan& out, const lib::State& st);
bool fast_convert(PyObject* obj, Pricing& out, const lib::State& st);
bool fast_convert(PyObject* obj, TipLinesContext& out, const lib::State& st);
bool fast_convert(PyObject* obj, DeliverableLinesContext& out, const lib::State& st);

// A new dict with the eleven keys in declaration order, or NULL; the
// enumeration fields are the value objects of the interpreter of `st`.
PyObject* to_python(const LineItem& line, const lib::State& st);
// A new list of line dicts in list order, or NULL.
PyObject* to_python(const std::vector<LineItem>& lines, const lib::State& st);

}  // namespace data
