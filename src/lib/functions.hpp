// The five exported functions, in registration order.
#pragma once

#include <Python.h>

namespace lib {

// Method records of the exported functions, in registration order. The
// records live for the whole process, as built-in function objects require.
extern PyMethodDef kFunctions[];
constexpr int kFunctionCount = 5;

}  // namespace lib
