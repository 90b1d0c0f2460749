// verify(), checkpoint() and VerifyReport: the Python face of the core
// verifier and of checkpoint creation, plus parsing of checkpoint dicts.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "binding.h"
#include "checkpoint_arg.h"
#include "corvane/quote.h"
#include "corvane/verifier.h"

namespace corvane::py {

namespace {

constexpr const char* kReportName = "corvane_audit._native.VerifyReport";

// ---------------------------------------------------------------------------
// Argument conversion shared by verify() and checkpoint().

// Sets the TypeError; returns false so bool conversions can return it.
bool wrong_type(const char* func, const char* arg, const char* expected, PyObject* got) {
  Ref name(PyType_GetName(Py_TYPE(got)));
  if (name) PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", func, arg, expected, name.get());
  return false;
}

bool log_dir_arg(const char* func, PyObject* obj, std::string* out) {
  // Path objects are the package wrappers' business, not ours.
  if (!PyUnicode_Check(obj)) return wrong_type(func, "log_dir", "str", obj);
  return path_from_str(obj, out);
}

// A copy of the shared handle, so the key outlives the call whatever
// happens to the Python object.
std::optional<KeyHandle> key_arg(const char* func, PyObject* obj) {
  const KeyHandle* key = key_of(obj);
  if (key == nullptr) {
    wrong_type(func, "key", "KeyHandle", obj);
    return std::nullopt;
  }
  return *key;
}

bool bool_arg(const char* func, const char* arg, PyObject* obj, bool* out) {
  if (!PyBool_Check(obj)) return wrong_type(func, arg, "bool", obj);
  *out = obj == Py_True;
  return true;
}

// ---------------------------------------------------------------------------
// VerifyReport. The violation dict and the list are built once and handed
// out as the same objects on every access; since callers may put the report
// into them, the type takes part in garbage collection.

struct VerifyReportObject {
  PyObject_HEAD struct State {
    ObjectGuard guard;
    bool ok = false;
    std::string compact;
    std::string verdict_kind;
    std::string log_dir;  // file-system encoding, as the caller's str gave it
    std::string key_id_hex;
    std::uint32_t segments_inspected = 0;
    std::uint64_t records_inspected = 0;
    std::optional<std::string> final_hmac_hex;
    Ref violation;   // dict, or None
    Ref additional;  // list of dicts
  } state;
};

using State = VerifyReportObject::State;

State& state_of(PyObject* self) { return reinterpret_cast<VerifyReportObject*>(self)->state; }

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  State& s = state_of(self);
  Py_VISIT(s.violation.get());
  Py_VISIT(s.additional.get());
  return 0;
}

int clear(PyObject* self) {
  State& s = state_of(self);
  // Detach first: dropping a reference may run code that looks at the report.
  Ref violation = std::move(s.violation);
  Ref additional = std::move(s.additional);
  return 0;
}

// A property getter: a shared borrow of the report, then `Get`.
template <PyObject* (*Get)(const State&)>
PyObject* read_impl(PyObject* self, void*) {
  State& s = state_of(self);
  BorrowGuard borrow(s.guard, Borrow::kShared, kReportName);
  if (!borrow) return nullptr;
  return Get(s);
}

PyObject* ok_of(const State& s) { return Py_NewRef(s.ok ? Py_True : Py_False); }
PyObject* compact_of(const State& s) { return str_from(s.compact); }
PyObject* verdict_kind_of(const State& s) { return str_from(s.verdict_kind); }
PyObject* log_dir_of(const State& s) {
  return PyUnicode_DecodeFSDefaultAndSize(s.log_dir.data(), static_cast<Py_ssize_t>(s.log_dir.size()));
}
PyObject* key_id_hex_of(const State& s) { return str_from(s.key_id_hex); }
PyObject* segments_of(const State& s) { return PyLong_FromUnsignedLong(s.segments_inspected); }
PyObject* records_of(const State& s) { return PyLong_FromUnsignedLongLong(s.records_inspected); }
PyObject* final_hmac_of(const State& s) { return s.final_hmac_hex ? str_from(*s.final_hmac_hex) : Py_NewRef(Py_None); }
// After a garbage-collector clear the objects are gone; None stands in.
PyObject* violation_of(const State& s) { return Py_NewRef(s.violation ? s.violation.get() : Py_None); }
PyObject* additional_of(const State& s) { return Py_NewRef(s.additional ? s.additional.get() : Py_None); }

PyObject* repr_impl(PyObject* self) {
  State& s = state_of(self);
  BorrowGuard borrow(s.guard, Borrow::kShared, kReportName);
  if (!borrow) return nullptr;
  return str_from(std::string("VerifyReport(ok=") + (s.ok ? "true" : "false") + ", compact=" + debug_quote(s.compact) +
                  ", records_inspected=" + std::to_string(s.records_inspected) +
                  ", segments_inspected=" + std::to_string(s.segments_inspected) + ")");
}

#define CORVANE_GETSET(name, get, doc) {name, Guarded<read_impl<get>>::call, nullptr, const_cast<char*>(doc), nullptr}

PyGetSetDef kGetSet[] = {
    CORVANE_GETSET("ok", ok_of, "`True` iff the verdict was `Verified`."),
    CORVANE_GETSET("compact", compact_of, "Compact verdict string, either `\"Verified\"` or `\"<Kind>@s<N>r<N>\"`."),
    CORVANE_GETSET("verdict_kind", verdict_kind_of,
                   "`\"Verified\"` or the violation `kind` discriminator\n"
                   "(`\"HmacMismatch\"`, `\"ChainBreak\"`, \xE2\x80\xA6)."),
    CORVANE_GETSET("log_dir", log_dir_of, "Log directory."),
    CORVANE_GETSET("key_id_hex", key_id_hex_of, "Hex of the signing key's key_id."),
    CORVANE_GETSET("segments_inspected", segments_of, "Segments inspected."),
    CORVANE_GETSET("records_inspected", records_of, "Records inspected."),
    CORVANE_GETSET("final_hmac_hex", final_hmac_of, "Final HMAC hex if the log verified, otherwise None."),
    CORVANE_GETSET("violation", violation_of, "First violation as a dict (None on Verified)."),
    CORVANE_GETSET("additional_violations", additional_of,
                   "Additional violations (only populated under `forensic=True`)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef CORVANE_GETSET

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-facing verify report.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<VerifyReportObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, guarded_slot<repr_impl>()},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    kReportName, sizeof(VerifyReportObject),
    0,           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    kSlots,
};

// Stores `value` under `key`; false if it is null (a failed conversion) or
// cannot be stored. The reference is dropped either way.
bool set_item(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* violation_dict(const Violation& v) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const ViolationLocation& at = v.location;
  if (!set_item(dict.get(), "kind", Ref(PyUnicode_FromString(violation_kind_name(v.kind)))) ||
      !set_item(dict.get(), "segment_index", Ref(PyLong_FromUnsignedLong(at.segment_index))) ||
      !set_item(dict.get(), "record_id",
                Ref(at.record_id ? PyLong_FromUnsignedLongLong(*at.record_id) : Py_NewRef(Py_None))) ||
      !set_item(dict.get(), "byte_offset", Ref(PyLong_FromUnsignedLongLong(at.byte_offset))) ||
      !set_item(dict.get(), "message", Ref(str_from(v.message)))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* wrap_report(const VerifyReport& report) {
  const bool ok = report.verdict == Verdict::kVerified;
  std::string compact = compact_verdict(report);
  std::string verdict_kind = ok                 ? "Verified"
                             : report.violation ? violation_kind_name(report.violation->kind)
                                                : "Unknown";
  Ref violation(report.violation ? violation_dict(*report.violation) : Py_NewRef(Py_None));
  if (!violation) return nullptr;
  Ref additional(PyList_New(0));
  if (!additional) return nullptr;
  for (const Violation& v : report.additional_violations) {
    Ref dict(violation_dict(v));
    if (!dict || PyList_Append(additional.get(), dict.get()) != 0) return nullptr;
  }

  auto* self = alloc_instance<VerifyReportObject>(type_of(Cls::kVerifyReport));
  if (self == nullptr) return nullptr;
  State& s = self->state;
  s.guard.bind_to_current_thread();
  s.ok = ok;
  s.compact = std::move(compact);
  s.verdict_kind = std::move(verdict_kind);
  s.violation = std::move(violation);
  s.additional = std::move(additional);
  s.log_dir = report.log.log_dir;
  s.key_id_hex = report.log.key_id_hex;
  s.segments_inspected = report.log.segments_inspected;
  s.records_inspected = report.log.records_inspected;
  s.final_hmac_hex = report.log.final_hmac_hex;
  return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// Module functions.

PyObject* verify_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"log_dir", "key", "forensic", "raise_on_violation", "checkpoint", nullptr};
  PyObject* log_dir_obj = nullptr;
  PyObject* key_obj = nullptr;
  PyObject* forensic_obj = Py_False;
  PyObject* raise_obj = Py_False;
  PyObject* checkpoint_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOO:verify", const_cast<char**>(kwlist), &log_dir_obj, &key_obj,
                                   &forensic_obj, &raise_obj, &checkpoint_obj)) {
    return nullptr;
  }
  std::string dir;
  if (!log_dir_arg("verify", log_dir_obj, &dir)) return nullptr;
  std::optional<KeyHandle> key = key_arg("verify", key_obj);
  if (!key) return nullptr;
  VerifyOptions options;
  bool raise_on_violation = false;
  if (!bool_arg("verify", "forensic", forensic_obj, &options.forensic) ||
      !bool_arg("verify", "raise_on_violation", raise_obj, &raise_on_violation)) {
    return nullptr;
  }
  if (checkpoint_obj != Py_None) {
    if (!PyDict_Check(checkpoint_obj)) {
      wrong_type("verify", "checkpoint", "dict or None", checkpoint_obj);
      return nullptr;
    }
    Checkpoint checkpoint;
    if (!parse_checkpoint(checkpoint_obj, &checkpoint)) return nullptr;
    options.checkpoint = std::move(checkpoint);
  }

  auto report = corvane::verify(dir, *key, options);
  if (!report) return raise_verify_error(report.error());
  return report_or_raise(*report, raise_on_violation);
}

PyObject* checkpoint_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"log_dir", "key", "observed_at", nullptr};
  PyObject* log_dir_obj = nullptr;
  PyObject* key_obj = nullptr;
  PyObject* observed_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:checkpoint", const_cast<char**>(kwlist), &log_dir_obj, &key_obj,
                                   &observed_obj)) {
    return nullptr;
  }
  std::string dir;
  if (!log_dir_arg("checkpoint", log_dir_obj, &dir)) return nullptr;
  std::optional<KeyHandle> key = key_arg("checkpoint", key_obj);
  if (!key) return nullptr;
  if (!PyUnicode_Check(observed_obj)) {
    wrong_type("checkpoint", "observed_at", "str", observed_obj);
    return nullptr;
  }
  // An exact str holding the caller's text unchanged, even from a subclass.
  Ref observed(PyUnicode_FromObject(observed_obj));
  if (!observed) return nullptr;

  auto fields = create_checkpoint(dir, *key);
  if (!fields) {
    const CheckpointError& e = fields.error();
    switch (e.kind) {
      case CheckpointError::Kind::kVerify: return raise_verify_error(e.verify);
      case CheckpointError::Kind::kNotVerified:
        return raise(Exc::kVerificationFailed, "refusing to checkpoint a log that does not verify: " +
                                                   e.message.value_or("chain verification failed"));
      case CheckpointError::Kind::kEmpty:
        return raise(Exc::kArgumentError, "log has no records \xE2\x80\x94 nothing to checkpoint");
      case CheckpointError::Kind::kNoRecords:
        return raise(Exc::kIoFailure, "segment " + std::to_string(e.segment) + " contained no records");
      case CheckpointError::Kind::kReadHead: return raise(Exc::kIoFailure, "reading record: " + e.reader.to_string());
    }
    return raise(Exc::kVerificationFailed, "checkpoint failed");
  }

  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "format", Ref(str_from(kCheckpointFormat))) ||
      !set_item(dict.get(), "key_id", Ref(str_from(fields->key_id_hex))) ||
      !set_item(dict.get(), "segment", Ref(PyLong_FromUnsignedLong(fields->segment))) ||
      !set_item(dict.get(), "record_id", Ref(PyLong_FromUnsignedLongLong(fields->record_id))) ||
      !set_item(dict.get(), "hmac", Ref(str_from(fields->hmac_hex))) ||
      !set_item(dict.get(), "observed_at", std::move(observed))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* report_or_raise(const VerifyReport& report, bool raise_on_violation) {
  if (raise_on_violation && report.verdict == Verdict::kViolation) {
    // Only the first violation decides the class and the message.
    if (!report.violation) {
      return raise(Exc::kVerificationFailed,
                   "verify returned non-Verified verdict with no violation populated: " + debug_string(report));
    }
    return raise(violation_exception(report.violation->kind), report.violation->message);
  }
  return wrap_report(report);
}

PyType_Spec* verifyreport_spec() { return &kSpec; }

PyMethodDef kVerifyFunctions[] = {
    {"verify", guarded_method<verify_impl>(), METH_VARARGS | METH_KEYWORDS,
     "verify(log_dir, key, forensic=False, raise_on_violation=False, checkpoint=None)\n--\n\n"
     "Verify the log directory and return a structured report.\n\n"
     "With `raise_on_violation=True`, a non-`Verified` verdict raises a typed\n"
     "exception instead of returning a report whose `.ok` is False.\n\n"
     "`checkpoint` (a `{format, key_id, segment, record_id, hmac, observed_at}`\n"
     "dict, as produced by `checkpoint`) additionally proves that the log still\n"
     "extends a previously observed head. Without it, verification is\n"
     "self-referential: it proves the chain is consistent with itself, which a\n"
     "key holder who rewrote the chain also satisfies.\n\n"
     "The package's Python `verify` wrapper also accepts a file path for\n"
     "`checkpoint` and loads it into this dict before calling this function."},
    {"checkpoint", guarded_method<checkpoint_impl>(), METH_VARARGS | METH_KEYWORDS,
     "checkpoint(log_dir, key, observed_at)\n--\n\n"
     "Emit a checkpoint pinning the current chain head.\n\n"
     "Mirrors the `checkpoint` subcommand of the `corvane-audit` command-line\n"
     "tool. The log is verified first: a checkpoint over a broken chain would\n"
     "launder the break into a trusted anchor. The head `(segment, record_id,\n"
     "hmac)` is returned as a \"corvane-audit-checkpoint/v1\" dict.\n\n"
     "`observed_at` is descriptive only and never participates in the later\n"
     "comparison; the package's Python `checkpoint` wrapper defaults it to the\n"
     "current UTC time.\n\n"
     "Hand the result to a party that does not control the log: a copy kept\n"
     "beside the log proves nothing when both can be rewritten together."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace corvane::py
