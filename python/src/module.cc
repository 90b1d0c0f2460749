// Module definition and exec step of corvane_audit._native. Nothing happens
// at import beyond adding the attributes, in this order: the two version
// functions, the seventeen exception classes, the five classes, verify and
// checkpoint, then the entry points added since, in the order they came.
#include "binding.h"
#include "corvane/format.h"

namespace corvane::py {

namespace {

PyObject* format_version(PyObject*, PyObject*) { return PyLong_FromLong(kFormatVersion); }

PyObject* core_version(PyObject*, PyObject*) { return PyUnicode_FromString(kCoreVersion); }

PyMethodDef kVersionFunctions[] = {
    {"format_version", guarded_method<format_version>(), METH_NOARGS,
     "format_version()\n--\n\nThe version of the log format this module implements."},
    {"core_version", guarded_method<core_version>(), METH_NOARGS,
     "core_version()\n--\n\nThe version of the core library bound into this module."},
    {nullptr, nullptr, 0, nullptr},
};

struct ClassEntry {
  Cls cls;
  const char* name;
  PyType_Spec* (*shape)();
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  // The classes and exceptions are process-wide objects made once: another
  // interpreter would share them with the main one, so it may not import us.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    PyErr_SetString(PyExc_ImportError,
                    "corvane_audit._native cannot be imported in a sub-interpreter; "
                    "import it in the main interpreter");
    return -1;
  }
  if (PyModule_AddFunctions(module, kVersionFunctions) != 0) return -1;

  for (int i = 0; i < static_cast<int>(Exc::kCount); ++i) {
    const auto which = static_cast<Exc>(i);
    PyObject* cls = exception_class(which);
    if (cls == nullptr || PyModule_AddObjectRef(module, exception_name(which), cls) != 0) return -1;
  }

  const ClassEntry classes[] = {
      {Cls::kKeyHandle, "KeyHandle", keyhandle_spec},
      {Cls::kWriter, "Writer", writer_spec},
      {Cls::kReader, "Reader", reader_spec},
      {Cls::kRecordIter, "RecordIter", recorditer_spec},
      {Cls::kVerifyReport, "VerifyReport", verifyreport_spec},
  };
  for (const ClassEntry& entry : classes) {
    PyTypeObject* type = ensure_type(entry.cls, entry.shape());
    if (type == nullptr || PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) != 0) {
      return -1;
    }
  }

  if (PyModule_AddFunctions(module, kVerifyFunctions) != 0) return -1;
  if (PyModule_AddFunctions(module, kSigningFunctions) != 0) return -1;

  // Beyond the attributes above, newer entry points in the order they came.
  PyTypeObject* follower = ensure_type(Cls::kFollower, follower_spec());
  if (follower == nullptr || PyModule_AddObjectRef(module, "Follower", reinterpret_cast<PyObject*>(follower)) != 0) {
    return -1;
  }
  if (PyModule_AddFunctions(module, kVerifySpanFunctions) != 0) return -1;
  // Exported by name, so that callers can catch it.
  PyObject* wrong_thread = wrong_thread_class();
  return wrong_thread == nullptr ? -1 : PyModule_AddObjectRef(module, "WrongThreadError", wrong_thread);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, guarded_slot<exec_module>()},
#ifdef Py_mod_multiple_interpreters
    // Types and exception classes are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace corvane::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&corvane::py::kModule); }
