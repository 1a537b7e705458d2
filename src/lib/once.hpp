// Once-only cells of the boundary: a thread waiting for another thread's
// creation detaches from the interpreter while it waits.
#pragma once

#include <Python.h>

#include "once_cell.hpp"

namespace lib {

struct InterpreterHost {
  using Token = PyThreadState*;
  static Token detach() noexcept { return PyEval_SaveThread(); }
  static void attach(Token state) noexcept { PyEval_RestoreThread(state); }
  // Code run by a creation (a garbage collection, say) asked for the object
  // being created.
  static void reentered() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "object requested during its own initialization");
  }
};

// `create` returns the value, or nullptr with a Python exception set.
template <class T>
using OnceCell = tallyforge::OnceCell<T, InterpreterHost>;

}  // namespace lib
