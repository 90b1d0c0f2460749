// The exception hierarchy and the one mapping from core errors to it: each
// core error picks its class here and brings its own text.
#include <array>

#include "binding.h"
#include "corvane/quote.h"

namespace corvane::py {

namespace {

struct ExcInfo {
  const char* name;
  Exc base;  // kCount: the built-in Exception
};

constexpr std::array<ExcInfo, static_cast<std::size_t>(Exc::kCount)> kExceptions = {{
    {"CorvaneAuditError", Exc::kCount},
    {"IoFailure", Exc::kCorvaneAuditError},
    {"ArgumentError", Exc::kCorvaneAuditError},
    {"RecoveryError", Exc::kCorvaneAuditError},
    {"VerificationFailed", Exc::kCorvaneAuditError},
    {"ChainBreakError", Exc::kVerificationFailed},
    {"HmacMismatchError", Exc::kVerificationFailed},
    {"MissingRecordError", Exc::kVerificationFailed},
    {"RecordCorruptError", Exc::kVerificationFailed},
    {"HeaderCorruptError", Exc::kVerificationFailed},
    {"KeyIdMismatchError", Exc::kVerificationFailed},
    {"SegmentDiscontinuityError", Exc::kVerificationFailed},
    {"TimestampError", Exc::kVerificationFailed},
    {"SchemaError", Exc::kVerificationFailed},
    {"CheckpointMismatchError", Exc::kVerificationFailed},
    {"CheckpointTruncatedError", Exc::kVerificationFailed},
    // A checkpoint of another key is a wrong argument, not a finding about
    // the log.
    {"CheckpointKeyMismatchError", Exc::kArgumentError},
}};

// Process-wide: created once, kept for the life of the process.
std::array<PyObject*, static_cast<std::size_t>(Exc::kCount)> g_exceptions{};

}  // namespace

const char* exception_name(Exc which) { return kExceptions[static_cast<std::size_t>(which)].name; }

PyObject* exception_class(Exc which) {
  PyObject*& slot = g_exceptions[static_cast<std::size_t>(which)];
  if (slot != nullptr) return slot;
  const ExcInfo& info = kExceptions[static_cast<std::size_t>(which)];
  PyObject* base = PyExc_Exception;
  if (info.base != Exc::kCount) {
    base = exception_class(info.base);
    if (base == nullptr) return nullptr;
  }
  const std::string dotted = std::string("_native.") + info.name;
  PyObject* cls = PyErr_NewException(dotted.c_str(), base, nullptr);
  if (cls == nullptr) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "Failed to initialize new exception type.");
    return nullptr;
  }
  slot = cls;
  return slot;
}

std::nullptr_t raise(Exc which, std::string_view message) {
  PyObject* cls = exception_class(which);
  if (cls == nullptr) return nullptr;
  // Messages may quote caller text: keep NUL bytes, replace what is not UTF-8.
  Ref text(str_from(message));
  if (text) PyErr_SetObject(cls, text.get());
  return nullptr;
}

std::nullptr_t raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

std::nullptr_t raise_io(const IoError& error) { return raise(Exc::kIoFailure, error.to_string()); }

std::nullptr_t raise_writer_error(const WriterError& error) {
  switch (error.kind) {
    case WriterError::Kind::kIo:
    case WriterError::Kind::kLocked:
    case WriterError::Kind::kForked: return raise(Exc::kIoFailure, error.to_string());
    // Damage met by recovery is an ArgumentError too: callers have always
    // caught it as one.
    case WriterError::Kind::kInvalidArgument:
    case WriterError::Kind::kSegmentIndexOverflow:
    case WriterError::Kind::kRecordNotCanonical:
    case WriterError::Kind::kRecordSchema: return raise(Exc::kArgumentError, error.to_string());
    case WriterError::Kind::kRecoveryRefused: return raise(Exc::kRecoveryError, error.to_string());
  }
  return nullptr;
}

std::nullptr_t raise_reader_error(const ReaderError& error) {
  // An I/O failure is raised as itself, without the reader's "I/O error: ".
  if (error.kind == ReaderError::Kind::kIo) return raise_io(error.io);
  return raise(Exc::kRecordCorruptError, error.to_string());
}

std::nullptr_t raise_verify_error(const VerifyError& error) {
  const bool key_mismatch = error.kind == VerifyError::Kind::kCheckpointKeyMismatch;
  return raise(key_mismatch ? Exc::kCheckpointKeyMismatchError : Exc::kIoFailure, error.to_string());
}

void tag_argument_error(const char* argument) {
  PyObject* cls = exception_class(Exc::kArgumentError);
  if (cls == nullptr || !PyErr_ExceptionMatches(cls)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    Ref name(PyUnicode_FromString(argument));
    if (!name || PyObject_SetAttrString(value, "argument", name.get()) < 0) {
      // The failure to tag (a MemoryError) replaces the error being tagged.
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
      return;
    }
  }
  PyErr_Restore(type, value, traceback);
}

std::nullptr_t raise_keychain_error(std::string_view service, std::string_view account, const KeychainError& error) {
  return raise(Exc::kIoFailure, "loading keychain entry service=" + debug_quote(service) +
                                    " account=" + debug_quote(account) + ": " + error.to_string());
}

Exc violation_exception(ViolationKind kind) {
  switch (kind) {
    case ViolationKind::kHmacMismatch: return Exc::kHmacMismatchError;
    case ViolationKind::kChainBreak: return Exc::kChainBreakError;
    case ViolationKind::kRecordCorrupt: return Exc::kRecordCorruptError;
    case ViolationKind::kTimestampRegression:
    case ViolationKind::kTimestampInconsistency: return Exc::kTimestampError;
    case ViolationKind::kSegmentDiscontinuity: return Exc::kSegmentDiscontinuityError;
    case ViolationKind::kKeyIdMismatch: return Exc::kKeyIdMismatchError;
    case ViolationKind::kHeaderCorrupt: return Exc::kHeaderCorruptError;
    case ViolationKind::kUnknownVersion: return Exc::kSchemaError;
    case ViolationKind::kCheckpointMismatch: return Exc::kCheckpointMismatchError;
    case ViolationKind::kCheckpointTruncated: return Exc::kCheckpointTruncatedError;
  }
  return Exc::kVerificationFailed;
}

}  // namespace corvane::py
