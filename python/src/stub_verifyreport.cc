// Placeholder until the class lands.
#include "binding.h"

namespace corvane::py {
namespace {
struct Obj {
  PyObject_HEAD
  struct State {
  } state;
};
PyType_Slot kSlots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Obj>)}, {0, nullptr}};
PyType_Spec kSpec = {"corvane_audit._native.VerifyReport", sizeof(Obj), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, kSlots};
}  // namespace
PyType_Spec* verifyreport_spec() { return &kSpec; }
}  // namespace corvane::py
namespace corvane::py {
PyMethodDef kVerifyFunctions[] = {{nullptr, nullptr, 0, nullptr}};
}
