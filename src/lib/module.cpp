// The extension module: its definition, the entry point, and the execution
// step that adds the functions and classes together with __all__.
#include <Python.h>

#include <utility>

#include "data/py_enums.hpp"
#include "lib/binding.hpp"
#include "lib/functions.hpp"
#include "lib/ref.hpp"
#include "lib/state.hpp"
#include "portable.hpp"

#ifndef TALLYFORGE_VERSION
#error "TALLYFORGE_VERSION must be defined by the build"
#endif

namespace lib {
namespace {

// Adds `value` to the module under `name` and appends the name to __all__.
// Appends name to the module's __all__, made on first use.
bool add_to_all(PyObject* module, PyObject* name) {
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
  return true;
}

bool add_item(PyObject* module, PyObject* name, PyObject* value) {
  return add_to_all(module, name) && PyObject_SetAttr(module, name, value) >= 0;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* cls) {
  Ref text = Ref::steal(PyUnicode_FromString(name));
  return text && add_item(module, text.get(), reinterpret_cast<PyObject*>(cls));
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_cast_error(module, "module");
    return -1;
  }
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  // The interpreter's classes, value objects and key strings: made by the
  // first module object of the interpreter, shared by every later one.
  auto* own = static_cast<ModuleState*>(PyModule_GetState(module));
  if (own == nullptr) return -1;
  if (own->state == nullptr) {
    PyObject* holder = nullptr;
    State* st = interpreter_state(&holder);
    if (st == nullptr) return -1;
    own->holder = holder;
    own->state = st;
  }
  const State& st = *own->state;
  // The functions come from the method table through PyModule_AddFunctions,
  // which has a free-threaded interpreter count the references to them its own
  // way (deferred, which 3.13 turns into immortal once a second thread starts):
  // otherwise every call from every thread takes and drops a reference to its
  // function object, an atomic operation on memory that all threads write.
  if (PyModule_AddFunctions(module, kFunctions) < 0) return -1;
  for (int i = 0; i < kFunctionCount; ++i) {
    Ref name = Ref::steal(PyUnicode_FromString(kFunctions[i].ml_name));
    if (!name || !add_to_all(module, name.get())) return -1;
  }
  bool ok = add_class(module, "LineType", st.enums.line_type.type) &&
            add_class(module, "Account", st.enums.account.type) &&
            add_class(module, "Category", st.enums.category.type);
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

// A module object keeps the interpreter's set alive through its holder; the
// set itself lives until the interpreter ends.
int traverse_module(PyObject* module, visitproc visit, void* arg) {
  auto* own = static_cast<ModuleState*>(PyModule_GetState(module));
  if (own != nullptr) Py_VISIT(own->holder);
  return 0;
}

int clear_module(PyObject* module) {
  auto* own = static_cast<ModuleState*>(PyModule_GetState(module));
  // The interpreter's dictionary keeps the set until the interpreter ends, so
  // `state` stays valid for a function object that outlives the clearing.
  if (own != nullptr) Ref::steal(std::exchange(own->holder, nullptr)).reset();
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

// Every interpreter gets its own classes, value objects, key strings and
// PanicException, so the module may be loaded in any number of them, each
// with its own GIL.
PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module_guarded)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tallyforge",
    "Exact decimal money arithmetic for a marketplace's billing.\n"
    "The initialisation function PyInit_tallyforge must match the library name\n"
    "configured for the build, or the interpreter cannot import the module.",
    sizeof(ModuleState),
    nullptr,
    kSlots,
    &traverse_module,
    &clear_module,
    &free_module,
};

}  // namespace
}  // namespace lib

extern "C" TALLYFORGE_EXPORT PyObject* PyInit_tallyforge(void) {
  return PyModuleDef_Init(&lib::kModule);
}
