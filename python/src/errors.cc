// The exception hierarchy and the one mapping from core errors to it.
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
    case WriterError::Kind::kForked:
      return raise(Exc::kIoFailure, error.to_string());
    case WriterError::Kind::kMessage:
      return raise(Exc::kArgumentError, error.message);
    case WriterError::Kind::kRecoveryRefused:
      return raise(Exc::kRecoveryError, "recovery refused: " + error.recovery.to_string());
  }
  return nullptr;
}

std::nullptr_t raise_reader_error(const ReaderError& e) {
  const auto num = [](std::uint64_t v) { return std::to_string(v); };
  switch (e.kind) {
    case ReaderError::Kind::kIo:
      return raise_io(e.io);
    case ReaderError::Kind::kInvalidSegmentHeader:
      return raise(Exc::kRecordCorruptError, "invalid header at segment " + num(e.segment) + ": " + e.message);
    case ReaderError::Kind::kRecordDecode:
      return raise(Exc::kRecordCorruptError, "record decode error at segment " + num(e.segment) + " offset " +
                                                 num(e.offset) + ": " + e.message);
    case ReaderError::Kind::kTornTail:
      return raise(Exc::kRecordCorruptError, "torn tail at segment " + num(e.segment) + " offset " + num(e.offset));
    case ReaderError::Kind::kRecordNotFound:
      return raise(Exc::kRecordCorruptError,
                   "record not found: segment " + num(e.segment) + ", record_id " + num(e.record_id));
  }
  return nullptr;
}

std::nullptr_t raise_verify_error(const VerifyError& error) {
  switch (error.kind) {
    case VerifyError::Kind::kOpenLogDirectory:
    case VerifyError::Kind::kReaderIo:
      return raise(Exc::kIoFailure, "verifier could not open log: " + error.to_string());
    case VerifyError::Kind::kCheckpointKeyMismatch:
      return raise(Exc::kCheckpointKeyMismatchError, error.to_string());
  }
  return nullptr;
}

std::nullptr_t raise_keychain_error(std::string_view service, std::string_view account,
                                    const KeychainError& error) {
  return raise(Exc::kIoFailure, "loading keychain entry service=" + debug_quote(service) +
                                    " account=" + debug_quote(account) + ": " + error.to_string());
}

Exc violation_exception(ViolationKind kind) {
  switch (kind) {
    case ViolationKind::kHmacMismatch:
      return Exc::kHmacMismatchError;
    case ViolationKind::kChainBreak:
      return Exc::kChainBreakError;
    case ViolationKind::kRecordCorrupt:
      return Exc::kRecordCorruptError;
    case ViolationKind::kTimestampRegression:
    case ViolationKind::kTimestampInconsistency:
      return Exc::kTimestampError;
    case ViolationKind::kSegmentDiscontinuity:
      return Exc::kSegmentDiscontinuityError;
    case ViolationKind::kKeyIdMismatch:
      return Exc::kKeyIdMismatchError;
    case ViolationKind::kHeaderCorrupt:
      return Exc::kHeaderCorruptError;
    case ViolationKind::kUnknownVersion:
      return Exc::kSchemaError;
    case ViolationKind::kCheckpointMismatch:
      return Exc::kCheckpointMismatchError;
    case ViolationKind::kCheckpointTruncated:
      return Exc::kCheckpointTruncatedError;
  }
  return Exc::kVerificationFailed;
}

}  // namespace corvane::py
