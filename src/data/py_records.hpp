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

// A new dict with the eleven keys in declaration order, or NULL.
PyObject* to_python(const LineItem& line);
// A new list of line dicts in list order, or NULL.
PyObject* to_python(const std::vector<LineItem>& lines);

}  // namespace data
