// Reading records from Python mappings and writing lines back as dicts.
#pragma once

#include <Python.h>

#include <vector>

#include "data/records.hpp"

namespace data {

// Each reads its fields in declaration order by item access; false with the
// Python exception set on the first failure.
bool convert(PyObject* obj, LineItem& out);
bool convert(PyObject* obj, ServicePlan& out);
bool convert(PyObject* obj, Pricing& out);
bool convert(PyObject* obj, TipLinesContext& out);
bool convert(PyObject* obj, DeliverableLinesContext& out);

// A new dict with the eleven keys in declaration order, or NULL.
PyObject* to_python(const LineItem& line);
// A new list of line dicts in list order, or NULL.
PyObject* to_python(const std::vector<LineItem>& lines);

}  // namespace data
