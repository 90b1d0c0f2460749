// Module definition and exec step of corvane_audit._native.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "corvane/format.h"

namespace {

PyObject* format_version(PyObject*, PyObject*) { return PyLong_FromLong(corvane::kFormatVersion); }

PyObject* core_version(PyObject*, PyObject*) { return PyUnicode_FromString(corvane::kCoreVersion); }

PyMethodDef kVersionFunctions[] = {
    {"format_version", format_version, METH_NOARGS,
     "format_version()\n--\n\nThe version of the log format this module implements."},
    {"core_version", core_version, METH_NOARGS,
     "core_version()\n--\n\nThe version of the core library bound into this module."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  return PyModule_AddFunctions(module, kVersionFunctions);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&kModule); }
