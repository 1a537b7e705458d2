// The extension module: its definition, the entry point, and the execution
// step that adds the functions and classes together with __all__.
#include <Python.h>

#include "data/py_enums.hpp"
#include "lib/binding.hpp"
#include "lib/functions.hpp"
#include "lib/ref.hpp"
#include "portable.hpp"

#ifndef TALLYFORGE_VERSION
#error "TALLYFORGE_VERSION must be defined by the build"
#endif

namespace lib {
namespace {

// Adds `value` to the module under `name` and appends the name to __all__.
bool add_item(PyObject* module, PyObject* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    raise_cast_error(all.get(), "list");
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) {
    raise_panic("could not append to __all__");
    return false;
  }
  return PyObject_SetAttr(module, name, value) >= 0;
}

bool add_class(PyObject* module, const char* name, PyObject* cls) {
  if (cls == nullptr) return false;
  Ref text = Ref::steal(PyUnicode_FromString(name));
  return text && add_item(module, text.get(), cls);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_cast_error(module, "module");
    return -1;
  }
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name || !init_shared_objects()) return -1;
  for (int i = 0; i < kFunctionCount; ++i) {
    Ref function = Ref::steal(PyCMethod_New(&kFunctions[i], module, module_name.get(), nullptr));
    if (!function) return -1;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name || !add_item(module, name.get(), function.get())) return -1;
  }
  bool ok = add_class(module, "LineType", data::line_type_class()) &&
            add_class(module, "Account", data::account_class()) &&
            add_class(module, "Category", data::category_class());
  if (!ok) return -1;
  // The package version (from pyproject.toml at build time); not part of __all__.
  if (PyModule_AddStringConstant(module, "__version__", TALLYFORGE_VERSION) < 0) return -1;
  // Private: how pickles of value objects find their way back.
  Ref restore =
      Ref::steal(PyCMethod_New(&data::kRestoreValue, module, module_name.get(), nullptr));
  return restore && PyModule_AddObjectRef(module, data::kRestoreValue.ml_name, restore.get()) == 0
             ? 0
             : -1;
}

int exec_module_guarded(PyObject* module) noexcept {
  Ref done = Ref::steal(guarded([&]() -> PyObject* {
    return exec_module(module) == 0 ? Py_NewRef(Py_None) : nullptr;
  }));
  return done ? 0 : -1;
}

// The classes, value objects and key strings are shared by the whole process,
// and objects may not cross from one interpreter to another: the module is
// refused in subinterpreters instead of handing them objects that belong to
// the main interpreter (or the main interpreter objects of a destroyed one).
PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module_guarded)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tallyforge",
    "Exact decimal money arithmetic for a marketplace's billing.\n"
    "The initialisation function PyInit_tallyforge must match the library name\n"
    "configured for the build, or the interpreter cannot import the module.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace lib

extern "C" TALLYFORGE_EXPORT PyObject* PyInit_tallyforge(void) {
  return PyModuleDef_Init(&lib::kModule);
}
