#include <Python.h>

static PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "tallyforge", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
extern "C" PyMODINIT_FUNC PyInit_tallyforge(void) { return PyModuleDef_Init(&def); }
